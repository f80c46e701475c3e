// Signed session with a controller: key derivation, signed exchange, acknowledged commands
// and the texts of the link's errors.
#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "config/devname.h"
#include "link/crypto.h"
#include "link/udpdev.h"

namespace {

// Largest payload a signed frame can carry in the receive-sized frame buffer.
constexpr int kMaxPayload = int(kRecvBufSize) - 19;

void Sign(const uint8_t* bytes, size_t n, uint8_t out[8]) {
  Cmac& mac = LinkCmac();
  uint8_t tag[16];
  mac.Init();
  mac.Update(bytes, n);
  mac.Final(tag);
  std::memcpy(out, tag, 8);
}

const char* CodeText(int code) {
  switch (code) {
    case 1:
      return "Urządzenie nie odpowiada.";
    case 2:
      return "Kontroler ma obcą sesję.\n\nMożliwe przyczyny:\n"
             " - kontroler połączony z inną kopią programu,\n"
             " - kontroler pamięta sesję z poprzednim wywołaniem programu.\n"
             "W tym drugim przypadku należy poczekać około 30s.";
    case 3:
      return "Odmowa nawiązania sesji.";
    case 4:
      return "Błąd podpisu ramki.";
    case 5:
      return "Odpowiedź dłuższa od oczekiwanej.";
    case 6:
      return "Brak odpowiedzi na rozkaz.";
    case 7:
      return "Brak potwierdzenia wysłanego rozkazu.";
    case 8:
      return "Błąd rozmiaru bufora w programie.";
    case 9:
      return "Kontroler nie pozwala odczytać ustawień przejść.\nUstaw go w tryb 'Service'";
    default:
      return "Brak opisu błędu.";
  }
}

}  // namespace

void UdpDev::OpenSession() {
  // Two hosts answer in this identifier's name: which one is the controller is unknown, so
  // neither gets a session (a session already held stays with its address).
  if (ip2) throw std::runtime_error(TwoAddressText(*this));
  const int d = Request('K', 16, key);
  if (d != 16) throw UErr(this, 3, 0);
  // The signing key is the key material encrypted under itself.
  AES128& aes = LinkAes();
  aes.SetKey(key);
  aes.Encrypt(key);
  session = true;
  seq = 0;
}

void UdpDev::EnsureSession() {
  if (ip2 && !session) throw std::runtime_error(TwoAddressText(*this));
  if (!ReadStatus()) throw UErr(this, 1, 0);
  if ((status & 0x80) && !session) throw UErr(this, 2, 0);
  if (!session) OpenSession();
}

int UdpDev::Exchange(char letter, int p, const uint8_t* payload, int m, uint8_t* out) {
  // Letter 0 would make any frame of the device's an answer, even one too short to carry a
  // letter and a signature.
  if (letter == 0 || p < 0 || p > kMaxPayload || (p > 0 && !payload)) throw UErr(this, 8, letter);
  const int attempts = (online && session) ? 3 : 1;
  // The cipher is shared by every device, so it is keyed afresh for each exchange.
  LinkAes().SetKey(key);

  thread_local uint8_t frame[kRecvBufSize];
  std::memcpy(frame, "MMDC", 4);
  PutU32(frame + 4, id);
  frame[10] = uint8_t(letter);
  if (p > 0) std::memcpy(frame + 11, payload, size_t(p));
  const size_t frameLen = size_t(p) + 19;

  const uint8_t* answer = LinkAnswerBuffer();
  for (int a = 0; a < attempts; ++a) {
    // Every attempt is a new frame: a new number and therefore a new signature.
    ++seq;
    PutU16(frame + 8, seq);
    Sign(frame, size_t(p) + 11, frame + 11 + p);
    const size_t n = SendAndWait("MMDC", letter, frame, frameLen);
    if (n == 0) continue;
    uint8_t sig[8];
    Sign(answer, n - 8, sig);
    if (std::memcmp(sig, answer + n - 8, 8) != 0) throw UErr(this, 4, letter);
    const int d = int(n) - 19;
    if (m > 0 && out) std::memcpy(out, answer + 11, size_t(std::min(d, m)));
    if (d > m) throw UErr(this, 5, letter);
    return d;
  }
  throw UErr(this, 6, letter);
}

void UdpDev::Command(char letter, int p, const uint8_t* payload) {
  uint8_t ack = 0;
  const int d = Exchange(letter, p, payload, 1, &ack);
  if (d != 1 || ack != kAck) throw UErr(this, 7, letter);
}

void UdpDev::KeepSession() {
  if (!online || !session) return;
  if (ReadStatus() && session) Command('S', 0, nullptr);
}

void UdpDev::EndSession() {
  if (!online || !session) return;
  if (!ReadStatus()) return;
  if (session) Command('s', 0, nullptr);
  session = false;
}

UErr::UErr(const UdpDev* d, int c, char letter) : dev(d), code(c), cmd(letter) {
  try {
    text_ = std::make_shared<const std::string>(ErrorText(*this));
  } catch (...) {
    // Out of memory: what() falls back to a fixed word; ErrorText still works.
  }
}

std::string ErrorHeadline(const UErr& err) {
  std::string text = "Błąd nr " + std::to_string(err.code);
  if (err.cmd != 0) {
    text += " (r.'";
    text += err.cmd;
    text += "')";
  }
  std::string code = CodeText(err.code);
  code = code.substr(0, code.find("\n\n"));  // the advice that follows a blank line
  for (char& c : code)
    if (c == '\n') c = ' ';
  return text + ": " + code;
}

std::string ErrorText(const UErr& err) {
  std::string text;
  if (err.dev) text = DevName(err.dev->id) + ", tryb: " + err.dev->ModeText() + ".\n\n";
  text += "Błąd nr " + std::to_string(err.code);
  if (err.cmd != 0) {
    text += " (r.'";
    text += err.cmd;
    text += "')";
  }
  text += ": ";
  text += CodeText(err.code);
  text += '\n';
  return text;
}
