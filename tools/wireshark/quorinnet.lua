-- Wireshark dissector for the Quorinnet controller protocol on UDP port 45389.
--
-- Works with the Lua of Wireshark 4.0 (Debian 12) and newer. Install by copying this file into
-- Wireshark's global plugin folder (`tshark -G folders`, "Global Lua Plugins") or a user's
-- (~/.local/lib/wireshark/plugins/), or load it once: tshark -X lua_script:quorinnet.lua.
--
-- Frames: "MMDO"/"MMDK" unauthenticated request and answer with a CRC-32, "MMDT" time frame,
-- "MMDC" signed session frame. Signatures are checked with the signing key derived from the
-- key material answer ('K') that opened the session, when the capture holds it: the key is
-- AES-128 of the 16 bytes of key material under themselves; a signature is the first 8 bytes
-- of the AES-CMAC (RFC 4493) tag of everything before it.

local PORT = 45389
local quorinnet = Proto("quorinnet", "Quorinnet controller protocol")

-- Lua BitOp ships with every Wireshark that has Lua (5.1 to 5.4); its results are signed
-- 32-bit numbers, so 32-bit values are brought back into 0..2^32-1 before they are compared.
local band, bxor, lshift, rshift = bit.band, bit.bxor, bit.lshift, bit.rshift
local TWO32 = 4294967296

------------------------------------------------------------------------------------------
-- CRC-32: polynomial 0x04C11DB7, most significant bit first, start 0xFFFFFFFF, no final XOR.
local CRC_TABLE = {}
for i = 0, 255 do
  local c = lshift(i, 24)
  for _ = 1, 8 do
    if band(c, 0x80000000) ~= 0 then c = bxor(lshift(c, 1), 0x04C11DB7) else c = lshift(c, 1) end
  end
  CRC_TABLE[i] = c
end

local function crc32(s, first, last) -- s: Lua string, bytes first..last (1-based)
  local crc = 0xFFFFFFFF
  for i = first, last do
    crc = bxor(lshift(crc, 8), CRC_TABLE[band(bxor(rshift(crc, 24), s:byte(i)), 0xFF)])
  end
  return crc % TWO32
end

------------------------------------------------------------------------------------------
-- AES-128 encryption (FIPS-197) and AES-CMAC (NIST SP 800-38B, RFC 4493).
local SBOX = {[0] =
  0x63,0x7c,0x77,0x7b,0xf2,0x6b,0x6f,0xc5,0x30,0x01,0x67,0x2b,0xfe,0xd7,0xab,0x76,
  0xca,0x82,0xc9,0x7d,0xfa,0x59,0x47,0xf0,0xad,0xd4,0xa2,0xaf,0x9c,0xa4,0x72,0xc0,
  0xb7,0xfd,0x93,0x26,0x36,0x3f,0xf7,0xcc,0x34,0xa5,0xe5,0xf1,0x71,0xd8,0x31,0x15,
  0x04,0xc7,0x23,0xc3,0x18,0x96,0x05,0x9a,0x07,0x12,0x80,0xe2,0xeb,0x27,0xb2,0x75,
  0x09,0x83,0x2c,0x1a,0x1b,0x6e,0x5a,0xa0,0x52,0x3b,0xd6,0xb3,0x29,0xe3,0x2f,0x84,
  0x53,0xd1,0x00,0xed,0x20,0xfc,0xb1,0x5b,0x6a,0xcb,0xbe,0x39,0x4a,0x4c,0x58,0xcf,
  0xd0,0xef,0xaa,0xfb,0x43,0x4d,0x33,0x85,0x45,0xf9,0x02,0x7f,0x50,0x3c,0x9f,0xa8,
  0x51,0xa3,0x40,0x8f,0x92,0x9d,0x38,0xf5,0xbc,0xb6,0xda,0x21,0x10,0xff,0xf3,0xd2,
  0xcd,0x0c,0x13,0xec,0x5f,0x97,0x44,0x17,0xc4,0xa7,0x7e,0x3d,0x64,0x5d,0x19,0x73,
  0x60,0x81,0x4f,0xdc,0x22,0x2a,0x90,0x88,0x46,0xee,0xb8,0x14,0xde,0x5e,0x0b,0xdb,
  0xe0,0x32,0x3a,0x0a,0x49,0x06,0x24,0x5c,0xc2,0xd3,0xac,0x62,0x91,0x95,0xe4,0x79,
  0xe7,0xc8,0x37,0x6d,0x8d,0xd5,0x4e,0xa9,0x6c,0x56,0xf4,0xea,0x65,0x7a,0xae,0x08,
  0xba,0x78,0x25,0x2e,0x1c,0xa6,0xb4,0xc6,0xe8,0xdd,0x74,0x1f,0x4b,0xbd,0x8b,0x8a,
  0x70,0x3e,0xb5,0x66,0x48,0x03,0xf6,0x0e,0x61,0x35,0x57,0xb9,0x86,0xc1,0x1d,0x9e,
  0xe1,0xf8,0x98,0x11,0x69,0xd9,0x8e,0x94,0x9b,0x1e,0x87,0xe9,0xce,0x55,0x28,0xdf,
  0x8c,0xa1,0x89,0x0d,0xbf,0xe6,0x42,0x68,0x41,0x99,0x2d,0x0f,0xb0,0x54,0xbb,0x16}
local MUL2, MUL3 = {}, {}
for a = 0, 255 do
  local d = lshift(a, 1)
  if d > 255 then d = bxor(d, 0x11B) end
  MUL2[a], MUL3[a] = d, bxor(d, a)
end
local RCON = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36}

-- Expands a 16-byte key (table indexed 0..15) into 176 round-key bytes.
local function aes_expand(key)
  local w = {}
  for i = 0, 15 do w[i] = key[i] end
  for i = 4, 43 do
    local p = 4 * (i - 1)
    local t0, t1, t2, t3 = w[p], w[p + 1], w[p + 2], w[p + 3]
    if i % 4 == 0 then
      t0, t1, t2, t3 = bxor(SBOX[t1], RCON[i / 4]), SBOX[t2], SBOX[t3], SBOX[t0]
    end
    local q = 4 * (i - 4)
    w[4 * i], w[4 * i + 1] = bxor(w[q], t0), bxor(w[q + 1], t1)
    w[4 * i + 2], w[4 * i + 3] = bxor(w[q + 2], t2), bxor(w[q + 3], t3)
  end
  return w
end

-- Encrypts the 16-byte block s (indexed 0..15) in place under the round keys w.
local function aes_encrypt(w, s)
  for i = 0, 15 do s[i] = bxor(s[i], w[i]) end
  local t = {}
  for r = 1, 10 do
    for i = 0, 15 do t[i] = SBOX[s[(5 * i) % 16]] end -- SubBytes and ShiftRows
    local k = 16 * r
    if r < 10 then
      for c = 0, 12, 4 do
        local a0, a1, a2, a3 = t[c], t[c + 1], t[c + 2], t[c + 3]
        s[c] = bxor(MUL2[a0], MUL3[a1], a2, a3, w[k + c])
        s[c + 1] = bxor(a0, MUL2[a1], MUL3[a2], a3, w[k + c + 1])
        s[c + 2] = bxor(a0, a1, MUL2[a2], MUL3[a3], w[k + c + 2])
        s[c + 3] = bxor(MUL3[a0], a1, a2, MUL2[a3], w[k + c + 3])
      end
    else
      for i = 0, 15 do s[i] = bxor(t[i], w[k + i]) end
    end
  end
end

local function cmac_double(b)
  local out, carry = {}, 0
  for i = 15, 0, -1 do
    local v = b[i] * 2 + carry
    out[i], carry = v % 256, math.floor(v / 256)
  end
  if carry == 1 then out[15] = bxor(out[15], 0x87) end
  return out
end

-- Full 16-byte AES-CMAC tag of bytes first..last of the Lua string s; returns a table 0..15.
local function aes_cmac(w, s, first, last)
  local l = {}
  for i = 0, 15 do l[i] = 0 end
  aes_encrypt(w, l)
  local k1 = cmac_double(l)
  local n = last - first + 1
  local blocks = math.max(1, math.ceil(n / 16))
  local chain = {}
  for i = 0, 15 do chain[i] = 0 end
  for b = 0, blocks - 2 do
    local o = first + 16 * b
    for i = 0, 15 do chain[i] = bxor(chain[i], s:byte(o + i)) end
    aes_encrypt(w, chain)
  end
  local o, rest = first + 16 * (blocks - 1), n - 16 * (blocks - 1)
  local sub = rest == 16 and k1 or cmac_double(k1)
  for i = 0, 15 do
    local m
    if i < rest then m = s:byte(o + i) elseif i == rest then m = 0x80 else m = 0 end
    chain[i] = bxor(chain[i], m, sub[i])
  end
  aes_encrypt(w, chain)
  return chain
end

-- Signing key of a session: the key material encrypted under itself.
local function derive_key(material) -- Lua string of 16 bytes
  local m = {}
  for i = 0, 15 do m[i] = material:byte(i + 1) end
  local key = {}
  for i = 0, 15 do key[i] = m[i] end
  aes_encrypt(aes_expand(m), key)
  return key
end

------------------------------------------------------------------------------------------
-- Names and texts as the tool shows them.
local TYPE_LETTERS = "RTZKCKFD???"
local TYPE_NAMES = {[0] = "Czytnik", "Terminal", "Zamek", "Kontroler", "Ctr", "Klawiatura",
  "Interfejs", "Moduł", "Nieznany typ", "Nieznany typ", "Nieznany typ"}
local MODES = {[0] = "Blokada", [1] = "Konfiguracja", [2] = "Serwis", [3] = "Instalacja"}
local DOOR_TYPES = {[0] = "Otwarte", [1] = "Normalne", [2] = "Bistabilne", [3] = "Astabilne",
  [4] = "Zablokowane"}
local COMMANDS = {
  O = "status", K = "session key material", T = "time", D = "read bus device list",
  C = "read passage configuration", c = "write passage configuration",
  F = "remove inactive devices", R = "replace a device", S = "keep session", s = "end session",
}

local function type_code(id) return math.floor(id / 65536) % 1024 end

-- A letter of a tag or command as text; bytes that are not printable ASCII as \xNN.
local function printable(b)
  if b >= 0x20 and b < 0x7F then return string.char(b) end
  return string.format("\\x%02X", b)
end

-- DevName: "%c%02d_%05u" of the type letter, the variant and the serial.
local function dev_name(id)
  local code = type_code(id)
  local letter = TYPE_LETTERS:sub(math.floor(code / 100) + 1, math.floor(code / 100) + 1)
  return string.format("%s%02d_%05d", letter, code % 100, id % 65536)
end

local function state_text(st)
  if band(st, 0x80) ~= 0 then return "(nieaktywny)" end
  if band(st, 0x40) ~= 0 then return "(zasilanie!)" end
  if band(st, 0x20) ~= 0 then return "(sabotaż)" end
  if band(st, 0x10) ~= 0 then return "(nowy)" end
  return ""
end

------------------------------------------------------------------------------------------
-- Fields.
local F = {}
local function field(key, f) F[key] = f end
field("tag", ProtoField.string("quorinnet.tag", "Tag"))
field("answer", ProtoField.bool("quorinnet.answer", "Answer"))
field("id", ProtoField.uint32("quorinnet.id", "Device identifier", base.HEX))
field("id_class", ProtoField.uint32("quorinnet.id.class", "Class", base.DEC, nil, 0xF0000000))
field("id_suffix", ProtoField.uint32("quorinnet.id.suffix", "Suffix letter", base.DEC,
  {[0] = "A", [1] = "B", [2] = "C", [3] = "D"}, 0x0C000000))
field("id_type", ProtoField.uint32("quorinnet.id.typecode", "Type code", base.DEC, nil, 0x03FF0000))
field("id_serial", ProtoField.uint32("quorinnet.id.serial", "Serial", base.DEC, nil, 0x0000FFFF))
field("dev", ProtoField.string("quorinnet.dev", "Device"))
field("broadcast", ProtoField.bool("quorinnet.broadcast", "Addressed to every device"))
field("cmd", ProtoField.string("quorinnet.cmd", "Command"))
field("cmd_name", ProtoField.string("quorinnet.cmd.name", "Meaning"))
field("crc", ProtoField.uint32("quorinnet.crc", "CRC-32", base.HEX))
field("crc_status", ProtoField.string("quorinnet.crc.status", "CRC-32 status"))
field("status", ProtoField.uint8("quorinnet.status", "Status", base.HEX))
field("mode", ProtoField.uint8("quorinnet.status.mode", "Mode", base.DEC, MODES, 0x03))
field("session", ProtoField.bool("quorinnet.status.session", "Session open", 8, nil, 0x80))
field("marker", ProtoField.uint8("quorinnet.status.marker", "Answer marker", base.HEX))
field("time", ProtoField.absolute_time("quorinnet.time", "Time", base.UTC))
field("keymat", ProtoField.bytes("quorinnet.keymaterial", "Session key material"))
field("sigkey", ProtoField.bytes("quorinnet.signkey", "Derived signing key"))
field("seq", ProtoField.uint16("quorinnet.seq", "Sequence number", base.DEC))
field("len", ProtoField.uint16("quorinnet.len", "Payload length", base.DEC))
field("sig", ProtoField.bytes("quorinnet.sig", "Signature"))
field("sig_status", ProtoField.string("quorinnet.sig.status", "Signature status"))
field("keyframe", ProtoField.framenum("quorinnet.sig.keyframe", "Key material in frame", base.NONE))
field("request_in", ProtoField.framenum("quorinnet.request_in", "Request in frame", base.NONE))
field("data", ProtoField.bytes("quorinnet.data", "Data"))
field("ack", ProtoField.uint8("quorinnet.ack", "Acknowledgement", base.HEX,
  {[0x06] = "ACK", [0x15] = "NAK"}))
field("slots", ProtoField.uint16("quorinnet.devlist.slots", "Slots", base.DEC))
field("listed", ProtoField.uint16("quorinnet.devlist.listed", "Listed devices", base.DEC))
field("slot", ProtoField.uint8("quorinnet.slot", "Slot", base.DEC))
field("slot_id", ProtoField.uint32("quorinnet.slot.id", "Identifier", base.HEX))
field("slot_dev", ProtoField.string("quorinnet.slot.dev", "Device"))
field("slot_label", ProtoField.string("quorinnet.slot.label", "Label"))
field("slot_type", ProtoField.string("quorinnet.slot.type", "Type"))
field("slot_state", ProtoField.uint8("quorinnet.slot.state", "State", base.HEX))
field("st_inactive", ProtoField.bool("quorinnet.slot.inactive", "Inactive", 8, nil, 0x80))
field("st_power", ProtoField.bool("quorinnet.slot.power", "Power fault", 8, nil, 0x40))
field("st_tamper", ProtoField.bool("quorinnet.slot.tamper", "Tamper", 8, nil, 0x20))
field("st_new", ProtoField.bool("quorinnet.slot.new", "New", 8, nil, 0x10))
field("slot_out", ProtoField.uint8("quorinnet.slot.outputs", "Outputs", base.DEC))
field("slot_in", ProtoField.uint8("quorinnet.slot.inputs", "Inputs", base.DEC))
field("slot_rd", ProtoField.uint8("quorinnet.slot.readers", "Readers", base.DEC))
field("slot_oc", ProtoField.bool("quorinnet.slot.oc", "Open-collector outputs", 8, nil, 0x40))
field("doors", ProtoField.uint8("quorinnet.doors", "Passages", base.DEC))
field("refs_per", ProtoField.uint8("quorinnet.doors.refs", "References per passage", base.DEC))
field("door", ProtoField.uint8("quorinnet.door", "Passage", base.DEC))
field("ref", ProtoField.uint16("quorinnet.ref", "Reference", base.HEX))
field("ref_nc", ProtoField.bool("quorinnet.ref.nc", "NC", 16, nil, 0x0080))
field("door_type", ProtoField.uint8("quorinnet.door.type", "Typ przejścia", base.DEC, DOOR_TYPES, 0x0F))
field("airlock", ProtoField.uint8("quorinnet.door.airlock", "Śluza", base.DEC))
field("handle", ProtoField.bool("quorinnet.door.handle", "Otwieranie klamką", 8, nil, 0x40))
field("fullpulse", ProtoField.bool("quorinnet.door.fullpulse", "Pełny impuls rygla", 8, nil, 0x80))
field("boltpulse", ProtoField.uint8("quorinnet.door.boltpulse", "Impuls otwarcia rygla (half s)"))
field("opentime", ProtoField.uint8("quorinnet.door.opentime", "Dozw. czas otwarcia (half s)"))
field("params", ProtoField.bytes("quorinnet.door.params", "Parameter bytes"))
field("train", ProtoField.uint16("quorinnet.train", "Train number", base.DEC))
field("repl_old", ProtoField.uint8("quorinnet.replace.old", "Inactive device slot", base.DEC))
field("repl_new", ProtoField.uint8("quorinnet.replace.new", "New device slot", base.DEC))

-- The 18 references of a passage: abbreviation, the window's label, kind text.
local FUNCS = {
  {"bolt", "Rygiel", "Out"}, {"reminder", "Przypomnienie", "Out"}, {"alarm", "Alarm", "Out"},
  {"cctv", "CCTV", "Out"}, {"exit", "Przycisk wyjścia", "In"},
  {"opensensor", "Czujnik otwarcia", "In"}, {"alarmsensor", "Czujka alarmowa", "In"},
  {"tamper", "Sabotaż", "In"},
}
for i = 5, 10 do FUNCS[#FUNCS + 1] = {"in" .. i, "Wejście " .. i .. " (hidden)", "In"} end
for i = 1, 4 do FUNCS[#FUNCS + 1] = {"reader" .. i, "Czytnik " .. i, "Rd"} end
for i, f in ipairs(FUNCS) do
  field("fn" .. i, ProtoField.string("quorinnet.door." .. f[1], f[2]))
end

local fields = {}
for _, f in pairs(F) do fields[#fields + 1] = f end
quorinnet.fields = fields

local E = {
  crc = ProtoExpert.new("quorinnet.crc.bad", "Bad CRC-32", expert.group.CHECKSUM,
    expert.severity.WARN),
  sig = ProtoExpert.new("quorinnet.sig.bad", "Bad signature", expert.group.CHECKSUM,
    expert.severity.ERROR),
  malformed = ProtoExpert.new("quorinnet.malformed", "Malformed or truncated frame",
    expert.group.MALFORMED, expert.severity.ERROR),
  protocol = ProtoExpert.new("quorinnet.unexpected", "Value the tool does not accept",
    expert.group.PROTOCOL, expert.severity.WARN),
}
quorinnet.experts = {E.crc, E.sig, E.malformed, E.protocol}

------------------------------------------------------------------------------------------
-- Capture-wide state, built on the first pass in frame order: the signing keys of the
-- sessions (from 'K' answers) and the bus device lists (from 'D' answers), per device.
local keys, devlists, requests

local function reset()
  keys, devlists, requests = {}, {}, {}
end
reset()
quorinnet.init = reset -- a new capture file starts afresh

local function remember(store, id, frame, value)
  local list = store[id]
  if not list then
    list = {}
    store[id] = list
  end
  if #list == 0 or list[#list].frame < frame then list[#list + 1] = {frame = frame, value = value} end
end

-- The last entry recorded before frame.
local function recall(store, id, frame)
  local list, found = store[id], nil
  if not list then return nil end
  for _, e in ipairs(list) do
    if e.frame < frame then found = e else break end
  end
  return found
end

------------------------------------------------------------------------------------------
local function malformed(tree, text, info)
  tree:add_proto_expert_info(E.malformed, text)
  info.malformed = true
end

local function add_id(tree, tvb, off, id)
  local it = tree:add_le(F.id, tvb(off, 4))
  if id ~= 0xFFFFFFFF then
    it:add_le(F.id_class, tvb(off, 4))
    it:add_le(F.id_suffix, tvb(off, 4))
    it:add_le(F.id_type, tvb(off, 4))
    it:add_le(F.id_serial, tvb(off, 4))
  end
  tree:add(F.dev, tvb(off, 4), id == 0xFFFFFFFF and "broadcast" or dev_name(id))
  if id == 0xFFFFFFFF then tree:add(F.broadcast, tvb(off, 4), true) end
end

local function ref_text(ref, kind, list)
  if ref == 0xFFFF then return "---" end
  local slot, index = band(rshift(ref, 8), 0x7F), band(ref, 0x1F) + 1
  local id = list and list.ids[slot]
  local who = id and dev_name(id) or ("slot " .. slot)
  return string.format("%s:%s%d", who, kind, index)
end

-- Bus device list: N, N identifiers, N information records.
local function dissect_devlist(tvb, off, dlen, tree, info, devid, frame, visited)
  if dlen < 2 then return malformed(tree, "Device list shorter than its count", info) end
  local n = tvb(off, 2):le_uint()
  local sub = tree:add(quorinnet, tvb(off, dlen), "Bus device list")
  sub:add_le(F.slots, tvb(off, 2))
  if n > 128 then sub:add_proto_expert_info(E.protocol, "More than 128 slots: the tool rejects it") end
  local shown = n
  if 2 + 8 * n > dlen then
    malformed(sub, string.format("Device list of %d slots needs %d bytes, has %d", n, 2 + 8 * n, dlen), info)
    shown = math.max(0, math.min(n, math.floor((dlen - 2 - 4 * n) / 4))) -- slots with both parts
  end
  local ids, listed, inactive, new = {}, 0, 0, 0
  for s = 0, shown - 1 do
    local io, ii = off + 2 + 4 * s, off + 2 + 4 * n + 4 * s
    local id = tvb(io, 4):le_uint()
    local b0, st, b2, b3 = tvb(ii, 1):uint(), tvb(ii + 1, 1):uint(), tvb(ii + 2, 1):uint(), tvb(ii + 3, 1):uint()
    ids[s] = id
    local empty = math.floor(id / 65536) == 0xFFFF
    local outs, rds = band(b2, 0x0F), 0
    if band(b2, 0x80) ~= 0 then
      rds = band(rshift(b2, 4), 3)
      if rds == 0 then outs = 0 end
    end
    local ins = band(b3, 0x0F)
    local label = string.format("%s/%s%d", dev_name(id), string.char(65 + math.floor(id / 2 ^ 26) % 4), b0)
    local st_txt = state_text(st)
    local t
    if empty then
      t = sub:add(F.slot, tvb(io, 4), s, string.format("Slot %d: empty", s))
    else
      listed = listed + 1
      if band(st, 0x80) ~= 0 then inactive = inactive + 1 end
      if band(st, 0x10) ~= 0 then new = new + 1 end
      t = sub:add(F.slot, tvb(io, 4), s, string.format("Slot %d: %s: %s, %d out, %d in, %d rd%s%s",
        s, TYPE_NAMES[math.floor(type_code(id) / 100)], label, outs, ins, rds,
        band(b2, 0x40) ~= 0 and " OC" or "", st_txt ~= "" and " " .. st_txt or ""))
    end
    t:add_le(F.slot_id, tvb(io, 4))
    t:add(F.slot_dev, tvb(io, 4), dev_name(id))
    t:add(F.slot_label, tvb(ii, 1), label)
    t:add(F.slot_type, tvb(io, 4), TYPE_NAMES[math.floor(type_code(id) / 100)])
    local si = t:add(F.slot_state, tvb(ii + 1, 1))
    if st_txt ~= "" then si:append_text(" " .. st_txt) end
    si:add(F.st_inactive, tvb(ii + 1, 1))
    si:add(F.st_power, tvb(ii + 1, 1))
    si:add(F.st_tamper, tvb(ii + 1, 1))
    si:add(F.st_new, tvb(ii + 1, 1))
    t:add(F.slot_out, tvb(ii + 2, 1), outs)
    t:add(F.slot_in, tvb(ii + 3, 1), ins)
    t:add(F.slot_rd, tvb(ii + 2, 1), rds)
    t:add(F.slot_oc, tvb(ii + 2, 1))
  end
  sub:add(F.listed, tvb(off, 2), listed):set_generated()
  if not visited then remember(devlists, devid, frame, {ids = ids}) end
  local extra = ""
  if inactive > 0 then extra = extra .. string.format(", %d inactive", inactive) end
  if new > 0 then extra = extra .. string.format(", %d new", new) end
  info.text = string.format("(%d device%s%s)", listed, listed == 1 and "" or "s", extra)
  if shown < n then info.text = string.format("(%d slots, %d decoded)", n, shown) end
end

-- Passage configuration: n, 18, 18 references per passage, 8 parameter bytes per passage,
-- and the train number.
local function dissect_doors(tvb, off, dlen, tree, info, devid, frame, writing)
  if dlen < 2 then return malformed(tree, "Passage configuration shorter than its header", info) end
  local n, per = tvb(off, 1):uint(), tvb(off + 1, 1):uint()
  local sub = tree:add(quorinnet, tvb(off, dlen), "Passage configuration")
  sub:add(F.doors, tvb(off, 1))
  local pi = sub:add(F.refs_per, tvb(off + 1, 1))
  info.text = string.format("%s(%d passage%s)", writing and "write " or "", n, n == 1 and "" or "s")
  if n > 16 or per ~= 18 then
    pi:add_proto_expert_info(E.protocol, "More than 16 passages or not 18 references: the tool rejects it")
    if per ~= 18 then return end
  end
  local shown = n
  if 2 + 44 * n > dlen then
    malformed(sub, string.format("%d passages need %d bytes, the frame has %d", n, 2 + 44 * n, dlen), info)
    shown = math.max(0, math.min(n, math.floor((dlen - 2 - 36 * n) / 8))) -- passages with both parts
  end
  local entry = recall(devlists, devid, frame)
  local list = entry and entry.value
  for d = 0, shown - 1 do
    local ro, po = off + 2 + 36 * d, off + 2 + 36 * n + 8 * d
    local t = sub:add(F.door, tvb(ro, 36), d + 1, string.format("Passage %d", d + 1))
    for i, f in ipairs(FUNCS) do
      local r = tvb(ro + 2 * (i - 1), 2)
      local ref = r:le_uint()
      local text = ref_text(ref, f[3], list)
      local nc = ref ~= 0xFFFF and f[3] ~= "Rd" and band(ref, 0x80) ~= 0
      local it = t:add(F["fn" .. i], r, text)
      if nc then it:append_text(" NC") end
      it:add_le(F.ref, r)
      if f[3] ~= "Rd" and ref ~= 0xFFFF then it:add_le(F.ref_nc, r) end
    end
    local p = tvb(po, 8)
    local b0, b2 = tvb(po, 1):uint(), tvb(po + 2, 1):uint()
    t:add(F.door_type, tvb(po, 1))
    local airlock = band(b2, 4) ~= 0 and band(b2, 3) + 1 or 0
    local ai = t:add(F.airlock, tvb(po + 2, 1), airlock)
    if airlock == 0 then ai:append_text(" (none)") end
    t:add(F.handle, tvb(po + 2, 1))
    t:add(F.fullpulse, tvb(po + 2, 1))
    local bp, ot = tvb(po + 4, 1):uint(), tvb(po + 6, 1):uint()
    t:add(F.boltpulse, tvb(po + 4, 1)):append_text(string.format(" = %.1f s", bp / 2))
    t:add(F.opentime, tvb(po + 6, 1)):append_text(string.format(" = %.1f s", ot / 2))
    t:add(F.params, p)
    t:append_text(string.format(": %s, %s", DOOR_TYPES[band(b0, 0x0F)] or "?", ref_text(tvb(ro, 2):le_uint(), "Out", list)))
  end
  local tail = off + 2 + 44 * n
  if shown == n and tail + 2 <= off + dlen then sub:add_le(F.train, tvb(tail, 2)) end
  if writing and shown == n and dlen ~= 2 + 44 * n and dlen ~= 4 + 44 * n then
    sub:add_proto_expert_info(E.protocol, "Write length is neither 2 + 44n nor 4 + 44n")
  end
end

local function check_crc(tvb, raw, n, tree, info)
  if info.cut then
    tree:add(F.crc_status, tvb(0, n), "not checked: frame cut short by the capture"):set_generated()
    return false
  end
  local want = crc32(raw, 1, n - 4)
  local got = tvb(n - 4, 4):le_uint()
  local it = tree:add_le(F.crc, tvb(n - 4, 4))
  if want == got then
    tree:add(F.crc_status, tvb(n - 4, 4), "good"):set_generated()
  else
    tree:add(F.crc_status, tvb(n - 4, 4), "bad"):set_generated()
    it:add_proto_expert_info(E.crc, string.format("Bad CRC-32: 0x%08x, expected 0x%08x", got, want))
    info.flags = info.flags .. " [bad CRC]"
  end
  return want == got
end

local function dissect_unauth(tvb, raw, n, tree, info, id, letter, frame, visited)
  tree:add(F.cmd, tvb(3, 1), letter)
  tree:add(F.cmd_name, tvb(3, 1), COMMANDS[letter] or "unknown"):set_generated()
  if letter == "T" then
    if n ~= 16 then return malformed(tree, "A time frame is 16 bytes", info) end
    local secs = tvb(8, 4):le_uint()
    tree:add(F.time, tvb(8, 4), NSTime.new(secs, 0))
    check_crc(tvb, raw, n, tree, info)
    info.text = "time " .. os.date("!%Y-%m-%d %H:%M:%S UTC", secs)
    return
  end
  if n == 12 then
    tree:add(F.answer, tvb(3, 1), false):set_generated()
    check_crc(tvb, raw, n, tree, info)
    if letter == "O" and id == 0xFFFFFFFF then info.text = "discovery"
    elseif letter == "O" then info.text = "status query"
    elseif letter == "K" then info.text = "key request"
    else info.text = "request" end
    return
  end
  tree:add(F.answer, tvb(3, 1), true):set_generated()
  if n < 16 then return malformed(tree, "An unauthenticated answer is at least 16 bytes", info) end
  local dlen = n - 12
  local good = check_crc(tvb, raw, n, tree, info)
  if letter == "O" then
    if dlen ~= 16 then tree:add_proto_expert_info(E.protocol, "A status answer has 16 data bytes") end
    local st = tvb(10, 1):uint()
    local si = tree:add(F.status, tvb(10, 1))
    si:add(F.mode, tvb(10, 1))
    si:add(F.session, tvb(10, 1))
    local mi = tree:add(F.marker, tvb(11, 1))
    if tvb(11, 1):uint() ~= 0x31 then mi:add_proto_expert_info(E.protocol, "Not '1': the tool ignores this answer") end
    tree:add(F.data, tvb(8, dlen))
    info.text = "status: " .. MODES[band(st, 3)] .. (band(st, 0x80) ~= 0 and ", session open" or "")
  elseif letter == "K" then
    if dlen ~= 16 then
      tree:add_proto_expert_info(E.protocol, "Key material is 16 bytes: the tool refuses the session")
      tree:add(F.data, tvb(8, dlen))
      info.text = "key material (refused)"
      return
    end
    tree:add(F.keymat, tvb(8, 16))
    local key = derive_key(raw:sub(9, 24))
    local bytes = {}
    for i = 0, 15 do bytes[i + 1] = string.char(key[i]) end
    tree:add(F.sigkey, tvb(8, 16), table.concat(bytes)):set_generated()
    if good and not visited then remember(keys, id, frame, aes_expand(key)) end
    info.text = "key material"
  else
    tree:add(F.data, tvb(8, dlen))
    info.text = "answer"
  end
end

local function dissect_signed(tvb, raw, n, tree, info, id, frame, visited)
  if n < 19 then return malformed(tree, "A signed frame is at least 19 bytes", info) end
  local echo = tvb(10, 1):uint()
  local answer = band(echo, 0x80) ~= 0
  local letter = printable(band(echo, 0x7F))
  local seq = tvb(8, 2):le_uint()
  local dlen = n - 19
  -- A frame the capture cut short: its data runs to the cut, its signature is not there.
  if info.cut then dlen = math.min(info.reported - 19, n - 11) end
  tree:add(F.answer, tvb(10, 1), answer):set_generated()
  tree:add_le(F.seq, tvb(8, 2))
  tree:add(F.cmd, tvb(10, 1), letter)
  tree:add(F.cmd_name, tvb(10, 1), COMMANDS[letter] or "unknown"):set_generated()
  tree:add(F.len, tvb(10, 1), dlen):set_generated()
  info.seq = seq
  info.letter = letter

  -- Request and answer are paired by device, number and letter.
  local pair = string.format("%d:%d:%s", id, seq, letter)
  if not visited then
    if not answer then requests[pair] = frame
    elseif requests[pair] then requests[frame] = requests[pair] end
  end
  if answer and requests[frame] then tree:add(F.request_in, tvb(8, 2), requests[frame]):set_generated() end

  if dlen > 0 then
    local data = tvb(11, dlen)
    if letter == "D" and answer then
      dissect_devlist(tvb, 11, dlen, tree, info, id, frame, visited)
    elseif letter == "C" and answer or letter == "c" and not answer then
      dissect_doors(tvb, 11, dlen, tree, info, id, frame, not answer)
    elseif answer and dlen == 1 then
      local b = data:uint()
      tree:add(F.ack, data)
      info.text = b == 6 and "ACK" or (b == 0x15 and "NAK" or string.format("0x%02x (no acknowledgement)", b))
    elseif letter == "R" and not answer and dlen == 2 then
      local old, new = tvb(11, 1):uint(), tvb(12, 1):uint()
      tree:add(F.repl_old, tvb(11, 1))
      tree:add(F.repl_new, tvb(12, 1))
      local entry = recall(devlists, id, frame)
      local l = entry and entry.value
      local on = l and l.ids[old] and dev_name(l.ids[old]) or ("slot " .. old)
      local nn = l and l.ids[new] and dev_name(l.ids[new]) or ("slot " .. new)
      info.text = string.format("replace %s <-- %s", on, nn)
    else
      tree:add(F.data, data)
    end
  end
  if not answer and not info.text then info.text = COMMANDS[letter] or "request" end

  if info.cut then
    tree:add(F.sig_status, tvb(0, n), "not checked: frame cut short by the capture"):set_generated()
    return
  end
  local sig = tvb(n - 8, 8)
  local si = tree:add(F.sig, sig)
  local entry = recall(keys, id, frame)
  if not entry then
    tree:add(F.sig_status, sig, "no key in this capture"):set_generated()
    info.flags = info.flags .. " [no key]"
    return
  end
  tree:add(F.keyframe, sig, entry.frame):set_generated()
  local tag = aes_cmac(entry.value, raw, 1, n - 8)
  local good = true
  for i = 0, 7 do
    if tag[i] ~= raw:byte(n - 7 + i) then good = false end
  end
  if good then
    tree:add(F.sig_status, sig, "good"):set_generated()
  else
    tree:add(F.sig_status, sig, "bad"):set_generated()
    si:add_proto_expert_info(E.sig, "Bad signature for the session opened in frame " .. entry.frame)
    info.flags = info.flags .. " [BAD SIGNATURE]"
  end
end

function quorinnet.dissector(tvb, pinfo, root)
  local n = tvb:len()
  if n < 3 or tvb(0, 3):string() ~= "MMD" then return 0 end
  pinfo.cols.protocol = "Quorinnet"
  local tree = root:add(quorinnet, tvb(0, n))
  local info = {flags = ""}
  local raw = tvb:raw(0, n)
  local frame, visited = pinfo.number, pinfo.visited
  info.reported = tvb:reported_len()
  if n < info.reported then
    info.cut = true
    malformed(tree, string.format("Frame cut short by the capture: %d of %d bytes", n, info.reported), info)
  end
  local id, letter, prefix = nil, nil, "?"
  if n < 8 then
    malformed(tree, "Shorter than the 8-byte header", info)
    prefix, info.text = "MMD", string.format("frame of %d bytes", n)
  else
    local tag = "MMD" .. printable(tvb(3, 1):uint())
    tree:add(F.tag, tvb(0, 4), tag)
    id = tvb(4, 4):le_uint()
    add_id(tree, tvb, 4, id)
    prefix = id == 0xFFFFFFFF and "broadcast" or dev_name(id)
    letter = tag:sub(4, 4)
    if letter == "C" then
      dissect_signed(tvb, raw, n, tree, info, id, frame, visited)
      letter = info.letter or letter
    else
      dissect_unauth(tvb, raw, n, tree, info, id, letter, frame, visited)
    end
  end
  local line = prefix .. (letter and " " .. letter or "")
  if info.seq then line = line .. " seq=" .. info.seq end
  if info.text then line = line .. " " .. info.text end
  if info.malformed then line = line .. " [malformed]" end
  line = line .. info.flags
  tree:append_text(", " .. line)
  pinfo.cols.info = line
  return n
end

DissectorTable.get("udp.port"):add(PORT, quorinnet)
