-- Checks the dissector's AES-128 and AES-CMAC against the published examples: FIPS-197
-- Appendix C.1 and the four AES-CMAC examples of RFC 4493 (0 and 40 bytes take the padded
-- path, as every real frame does; 16 and 64 bytes the full-block one). Run inside tshark,
-- with the dissector's path as the script's argument:
--   tshark -X lua_script:crypto_vectors.lua -X lua_script1:quorinnet.lua -r any.pcap -c 1
-- Prints "crypto vectors: 5 passed" or the mismatches.
local path = ...
local source = assert(io.open(path, "r"))
local text = source:read("*a")
source:close()
local first = text:find("-- AES-128 encryption", 1, true)
local last = text:find("-- Names and texts", 1, true)
local env = {bxor = bit.bxor, band = bit.band, lshift = bit.lshift, rshift = bit.rshift,
             math = math, string = string}
local chunk = assert(load(text:sub(first, last - 1) ..
  "\nreturn {expand = aes_expand, encrypt = aes_encrypt, cmac = aes_cmac}", "crypto", "t", env))
local aes = chunk()

local function bytes(hex) -- table indexed 0..n-1
  local t = {}
  for i = 1, #hex, 2 do t[(i - 1) / 2] = tonumber(hex:sub(i, i + 1), 16) end
  return t
end
local function raw(hex) return (hex:gsub("..", function(h) return string.char(tonumber(h, 16)) end)) end
local function hex(t) local s = {} for i = 0, 15 do s[#s + 1] = string.format("%02x", t[i]) end return table.concat(s) end

local passed, failed = 0, {}
local function expect(name, got, want)
  if got == want then passed = passed + 1 else failed[#failed + 1] = name .. ": " .. got .. " ~= " .. want end
end

local block = bytes("00112233445566778899aabbccddeeff")
aes.encrypt(aes.expand(bytes("000102030405060708090a0b0c0d0e0f")), block)
expect("FIPS-197 C.1", hex(block), "69c4e0d86a7b0430d8cdb78070b4c55a")

local w = aes.expand(bytes("2b7e151628aed2a6abf7158809cf4f3c"))
local msg = raw("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51" ..
                "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710")
for _, v in ipairs({{0, "bb1d6929e95937287fa37d129b756746"}, {16, "070a16b46b4d4144f79bdd9dd04a287c"},
                    {40, "dfa66747de9ae63030ca32611497c827"}, {64, "51f0bebf7e3b9d92fc49741779363cfe"}}) do
  expect("RFC 4493 " .. v[1] .. " bytes", hex(aes.cmac(w, msg, 1, v[1])), v[2])
end

if #failed > 0 then print("crypto vectors FAILED: " .. table.concat(failed, "; "))
else print("crypto vectors: " .. passed .. " passed") end
