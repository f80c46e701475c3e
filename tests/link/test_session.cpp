// Signed sessions: key derivation, sequence numbers, signatures, retries, answer checks,
// acknowledged commands, keep-alive, session end and the error texts.
#include <gtest/gtest.h>

#include <functional>

#include "linkworld.h"

namespace {

const std::string kIp = "192.168.1.10";

class SessionTest : public ::testing::Test {
 protected:
  LinkWorld w;
  SimDevice& sim = w.net.AddDevice(kCtrlId, kCtrlIp, 2);
  UdpDev dev{kCtrlId, kCtrlIp, 2};

  std::vector<Bytes> Signed(size_t from = 0) const {
    std::vector<Bytes> out;
    for (const Bytes& b : w.SentTo(kIp, from))
      if (b.size() >= 19 && std::memcmp(b.data(), "MMDC", 4) == 0) out.push_back(b);
    return out;
  }
  size_t Mark() const { return w.net.sentByTool.size(); }
  int Code(const std::function<void()>& f, char* cmd = nullptr) {
    try {
      f();
    } catch (const UErr& e) {
      EXPECT_EQ(e.dev, &dev);
      if (cmd) *cmd = e.cmd;
      return e.code;
    }
    return 0;
  }
};

TEST_F(SessionTest, KeyIsTheMaterialEncryptedUnderItself) {
  dev.OpenSession();
  EXPECT_TRUE(dev.session);
  EXPECT_EQ(dev.seq, 0);
  // The last answer in the link's buffer is the 'K' answer with the material M.
  const uint8_t* ans = LinkAnswerBuffer();
  ASSERT_EQ(std::memcmp(ans, "MMDK", 4), 0);
  const Bytes expect = OsslAesEcb(ans + 8, ans + 8);
  EXPECT_EQ(Bytes(dev.key, dev.key + 16), expect);
  EXPECT_NE(Bytes(ans + 8, ans + 24), expect);
  EXPECT_TRUE(sim.SessionOpen(w.clock.now));
  EXPECT_EQ(w.Letters(kIp), "K");
}

TEST_F(SessionTest, FramesAreNumberedFromOneAndSignedUnderTheKey) {
  dev.OpenSession();
  uint8_t out[1000];
  const int d = dev.Exchange('D', 0, nullptr, 1000, out);
  EXPECT_EQ(d, int(sim.DevListPayload(w.clock.now).size()));
  dev.Command('S', 0, nullptr);
  const auto frames = Signed();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(GetU16(frames[0].data() + 8), 1);
  EXPECT_EQ(GetU16(frames[1].data() + 8), 2);
  EXPECT_EQ(frames[0].size(), 19u);
  EXPECT_EQ(frames[0][10], 'D');
  EXPECT_EQ(GetU32(frames[0].data() + 4), kCtrlId);
  EXPECT_TRUE(SignedWith(frames[0], dev.key));
  EXPECT_TRUE(SignedWith(frames[1], dev.key));
}

TEST_F(SessionTest, LostAnswerIsRetriedAsANewFrame) {
  dev.OpenSession();
  sim.faults.dropNext = 1;
  uint8_t out[1000];
  EXPECT_GT(dev.Exchange('D', 0, nullptr, 1000, out), 0);
  const auto frames = Signed();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(GetU16(frames[0].data() + 8), 1);
  EXPECT_EQ(GetU16(frames[1].data() + 8), 2);
  EXPECT_NE(Bytes(frames[0].end() - 8, frames[0].end()),
            Bytes(frames[1].end() - 8, frames[1].end()));
  EXPECT_TRUE(SignedWith(frames[1], dev.key));
}

TEST_F(SessionTest, PayloadTravelsInTheFrame) {
  dev.OpenSession();
  const uint8_t pair[2] = {5, 12};
  sim.faults.overrideFor = 'R';
  sim.faults.overrideData = {kAck};
  dev.Command('R', 2, pair);
  const auto frames = Signed();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].size(), 21u);
  EXPECT_EQ(frames[0][11], 5);
  EXPECT_EQ(frames[0][12], 12);
  EXPECT_TRUE(SignedWith(frames[0], dev.key));
}

TEST_F(SessionTest, SequenceWrapsAtSixteenBits) {
  dev.OpenSession();
  dev.seq = 0xFFFF;
  dev.Command('S', 0, nullptr);
  EXPECT_EQ(dev.seq, 0);
  EXPECT_EQ(GetU16(Signed().back().data() + 8), 0);
}

TEST_F(SessionTest, WrongSignatureEndsTheExchangeAtOnce) {
  dev.OpenSession();
  ASSERT_TRUE(dev.online);
  sim.faults.badSigNext = 1;
  uint8_t out[1000];
  char cmd = 0;
  EXPECT_EQ(Code([&] { dev.Exchange('D', 0, nullptr, 1000, out); }, &cmd), 4);
  EXPECT_EQ(cmd, 'D');
  EXPECT_EQ(Signed().size(), 1u);
  EXPECT_TRUE(dev.session);  // an error closes nothing
}

TEST_F(SessionTest, AnswerSignedWithAnotherKeyIsRejected) {
  dev.OpenSession();
  sim.faults.silentFor = 'D';
  uint8_t other[16] = {1, 2, 3};
  w.net.Inject(SignedAnswer(kCtrlId, 'D', {1, 2, 3}, other), kIp, w.clock.now + 5);
  uint8_t out[1000];
  EXPECT_EQ(Code([&] { dev.Exchange('D', 0, nullptr, 1000, out); }), 4);
}

TEST_F(SessionTest, ForgedAnswerWithTheRightKeyIsAccepted) {
  dev.OpenSession();
  sim.faults.silentFor = 'D';
  w.net.Inject(SignedAnswer(kCtrlId, 'D', {9, 8, 7}, dev.key), kIp, w.clock.now + 5);
  uint8_t out[4] = {};
  EXPECT_EQ(dev.Exchange('D', 0, nullptr, 4, out), 3);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(out[2], 7);
}

TEST_F(SessionTest, NoAnswerAfterThreeAttempts) {
  dev.OpenSession();
  sim.faults.silentFor = 'D';
  uint8_t out[1000];
  char cmd = 0;
  const int64_t t = w.clock.now;
  EXPECT_EQ(Code([&] { dev.Exchange('D', 0, nullptr, 1000, out); }, &cmd), 6);
  EXPECT_EQ(cmd, 'D');
  EXPECT_EQ(Signed().size(), 3u);
  EXPECT_EQ(w.clock.now - t, 600);
  EXPECT_EQ(dev.seq, 3);
  EXPECT_TRUE(dev.session);
}

TEST_F(SessionTest, OneAttemptWhenOfflineOrWithoutSession) {
  dev.OpenSession();
  sim.faults.silentFor = 'D';
  uint8_t out[1000];
  dev.online = false;
  EXPECT_EQ(Code([&] { dev.Exchange('D', 0, nullptr, 1000, out); }), 6);
  EXPECT_EQ(Signed().size(), 1u);
  dev.online = true;
  dev.session = false;
  EXPECT_EQ(Code([&] { dev.Exchange('D', 0, nullptr, 1000, out); }), 6);
  EXPECT_EQ(Signed().size(), 2u);
}

TEST_F(SessionTest, LongerAnswerThanTheLimitCopiesTheLimitAndFails) {
  dev.OpenSession();
  sim.faults.overrideFor = 'D';
  sim.faults.overrideData = {1, 2, 3, 4, 5, 6};
  uint8_t out[8] = {};
  EXPECT_EQ(Code([&] { dev.Exchange('D', 0, nullptr, 4, out); }), 5);
  EXPECT_EQ(Bytes(out, out + 5), (Bytes{1, 2, 3, 4, 0}));
}

TEST_F(SessionTest, ExchangeWithoutALetterIsRefusedBeforeSending) {
  // Without a letter, any short frame of the device's would pass for an answer.
  dev.OpenSession();
  const size_t from = Mark();
  uint8_t out[8] = {};
  EXPECT_EQ(Code([&] { dev.Exchange(0, 0, nullptr, sizeof out, out); }), 8);
  EXPECT_TRUE(Signed(from).empty());
}

TEST_F(SessionTest, CommandChecksTheAcknowledgement) {
  dev.OpenSession();
  dev.Command('S', 0, nullptr);  // plain ACK
  char cmd = 0;
  sim.faults.overrideFor = 'S';
  sim.faults.overrideData = {kAck, kAck};
  EXPECT_EQ(Code([&] { dev.Command('S', 0, nullptr); }, &cmd), 5);
  EXPECT_EQ(cmd, 'S');
  sim.faults.overrideData = {};
  EXPECT_EQ(Code([&] { dev.Command('S', 0, nullptr); }, &cmd), 7);
  sim.faults.overrideFor = 0;
  sim.faults.noAckFor = 'F';
  EXPECT_EQ(Code([&] { dev.Command('F', 0, nullptr); }, &cmd), 7);
  EXPECT_EQ(cmd, 'F');
}

TEST_F(SessionTest, EnsureSessionOpensOnlyWhenNeeded) {
  dev.EnsureSession();
  EXPECT_EQ(w.Letters(kIp), "OK");
  EXPECT_TRUE(dev.session);
  EXPECT_EQ(dev.status & 0x80, 0);  // the query ran before the session opened
  dev.EnsureSession();              // now bit 7 and our own session
  EXPECT_EQ(w.Letters(kIp), "OKO");
  EXPECT_EQ(dev.status & 0x80, 0x80);
  dev.Command('S', 0, nullptr);
  EXPECT_EQ(GetU16(Signed().back().data() + 8), 1);
}

TEST_F(SessionTest, ExpiredSessionIsOpenedAgainWithFreshNumbers) {
  dev.EnsureSession();
  dev.Command('S', 0, nullptr);
  dev.Command('S', 0, nullptr);
  EXPECT_EQ(dev.seq, 2);
  w.clock.Advance(31000);  // the device drops a silent session
  const size_t from = Mark();
  dev.EnsureSession();
  EXPECT_EQ(w.Letters(kIp, from), "OK");
  dev.Command('S', 0, nullptr);
  EXPECT_EQ(GetU16(Signed(from).back().data() + 8), 1);
}

TEST_F(SessionTest, ForeignSessionIsReportedAndLeftAlone) {
  sim.foreignSession = true;
  EXPECT_EQ(Code([&] { dev.EnsureSession(); }), 2);
  EXPECT_EQ(w.Letters(kIp), "O");
  EXPECT_FALSE(dev.session);
}

TEST_F(SessionTest, SilentDeviceAndRefusedKey) {
  sim.faults.offline = true;
  EXPECT_EQ(Code([&] { dev.EnsureSession(); }), 1);
  EXPECT_EQ(w.Letters(kIp), "OOO");
  sim.faults.offline = false;
  sim.faults.silentFor = 'K';
  const size_t from = Mark();
  EXPECT_EQ(Code([&] { dev.EnsureSession(); }), 3);
  EXPECT_EQ(w.Letters(kIp, from), "OKKK");
  EXPECT_FALSE(dev.session);
}

TEST_F(SessionTest, KeyMaterialOfAnotherLengthIsRefused) {
  sim.faults.offline = true;
  Bytes k(8 + 20, 0x11);
  std::memcpy(k.data(), "MMDK", 4);
  PutU32(k.data() + 4, kCtrlId);
  dev.online = false;
  w.net.Inject(Crc(k), kIp, w.clock.now + 3);
  EXPECT_EQ(Code([&] { dev.OpenSession(); }), 3);
  EXPECT_FALSE(dev.session);
}

TEST_F(SessionTest, KeepSessionQueriesThenKeepsAlive) {
  dev.KeepSession();  // no session: nothing
  EXPECT_TRUE(w.net.sentByTool.empty());
  dev.EnsureSession();
  size_t from = Mark();
  w.clock.Advance(25000);
  dev.KeepSession();
  EXPECT_EQ(w.Letters(kIp, from), "OS");
  w.clock.Advance(25000);  // 50 s after opening, alive thanks to the keep-alive
  EXPECT_TRUE(sim.SessionOpen(w.clock.now));
  from = Mark();
  dev.online = false;
  dev.KeepSession();
  EXPECT_EQ(Mark(), from);
}

TEST_F(SessionTest, KeepSessionAfterTheDeviceDroppedItSendsOnlyTheQuery) {
  dev.EnsureSession();
  w.clock.Advance(40000);
  const size_t from = Mark();
  dev.KeepSession();
  EXPECT_EQ(w.Letters(kIp, from), "O");
  EXPECT_FALSE(dev.session);
}

TEST_F(SessionTest, EndSessionEndsItOnBothSides) {
  dev.EnsureSession();
  const size_t from = Mark();
  dev.EndSession();
  EXPECT_EQ(w.Letters(kIp, from), "Os");
  EXPECT_FALSE(dev.session);
  EXPECT_FALSE(sim.SessionOpen(w.clock.now));
  EXPECT_TRUE(dev.ReadStatus());
  EXPECT_EQ(dev.status & 0x80, 0);
}

TEST_F(SessionTest, EndSessionOnAnOfflineDeviceSendsNothing) {
  dev.EnsureSession();
  dev.online = false;
  size_t from = Mark();
  dev.EndSession();
  EXPECT_EQ(Mark(), from);
  EXPECT_TRUE(dev.session);
  // Online but not answering the query: nothing signed is sent, the flag stays.
  dev.online = true;
  sim.faults.offline = true;
  from = Mark();
  dev.EndSession();
  EXPECT_EQ(w.Letters(kIp, from), "OOO");
  EXPECT_TRUE(dev.session);
}

TEST_F(SessionTest, EndSessionWhenTheDeviceAlreadyDroppedIt) {
  dev.EnsureSession();
  w.clock.Advance(31000);
  const size_t from = Mark();
  dev.EndSession();
  EXPECT_EQ(w.Letters(kIp, from), "O");
  EXPECT_FALSE(dev.session);
}

TEST_F(SessionTest, DestroyingARecordEndsItsSession) {
  {
    UdpDev other(kCtrlId, kCtrlIp, 2);
    other.EnsureSession();
  }
  EXPECT_EQ(w.Letters(kIp), "OKOs");
  EXPECT_FALSE(sim.SessionOpen(w.clock.now));
}

TEST_F(SessionTest, SharedCipherIsRekeyedForEveryDevice) {
  SimDevice& sim2 = w.net.AddDevice(MakeId(301, 124), 0xC0A8010Bu, 3);
  UdpDev dev2(sim2.id, sim2.ip, 3);
  dev.EnsureSession();
  dev2.EnsureSession();
  uint8_t out[1000];
  // Alternate: each exchange must sign and verify under its own device's key.
  EXPECT_GE(dev.Exchange('D', 0, nullptr, 1000, out), 2);
  EXPECT_GE(dev2.Exchange('D', 0, nullptr, 1000, out), 2);
  EXPECT_GE(dev.Exchange('C', 0, nullptr, 1000, out), 2);
  EXPECT_NE(Bytes(dev.key, dev.key + 16), Bytes(dev2.key, dev2.key + 16));
}

UdpDev NamedController(int mode, bool online = true) {
  UdpDev d(kCtrlId, kCtrlIp, uint16_t(mode));
  d.online = online;
  return d;
}

TEST(ErrorTextTest, ExampleOfAnUnansweredCommand) {
  const UdpDev d = NamedController(2);
  EXPECT_EQ(ErrorText(UErr(&d, 6, 'D')),
            "K01_00123, tryb: Serwis.\n\nBłąd nr 6 (r.'D'): Brak odpowiedzi na rozkaz.\n");
}

TEST(ErrorTextTest, CodeWithoutCommandHasNoLetterPart) {
  const UdpDev d = NamedController(3, false);
  EXPECT_EQ(ErrorText(UErr(&d, 1, 0)),
            "K01_00123, tryb: Niedostępny.\n\nBłąd nr 1: Urządzenie nie odpowiada.\n");
}

TEST(ErrorTextTest, EveryCodeText) {
  const UdpDev d = NamedController(3);
  const std::string head = "K01_00123, tryb: Instalacja.\n\nBłąd nr ";
  EXPECT_EQ(ErrorText(UErr(&d, 2)),
            head +
                "2: Kontroler ma obcą sesję.\n\nMożliwe przyczyny:\n"
                " - kontroler połączony z inną kopią programu,\n"
                " - kontroler pamięta sesję z poprzednim wywołaniem programu.\n"
                "W tym drugim przypadku należy poczekać około 30s.\n");
  EXPECT_EQ(ErrorText(UErr(&d, 3)), head + "3: Odmowa nawiązania sesji.\n");
  EXPECT_EQ(ErrorText(UErr(&d, 4, 'C')), head + "4 (r.'C'): Błąd podpisu ramki.\n");
  EXPECT_EQ(ErrorText(UErr(&d, 5, 'D')), head + "5 (r.'D'): Odpowiedź dłuższa od oczekiwanej.\n");
  EXPECT_EQ(ErrorText(UErr(&d, 7, 'c')),
            head + "7 (r.'c'): Brak potwierdzenia wysłanego rozkazu.\n");
  EXPECT_EQ(ErrorText(UErr(&d, 8)), head + "8: Błąd rozmiaru bufora w programie.\n");
  EXPECT_EQ(ErrorText(UErr(&d, 9)), head +
                                        "9: Kontroler nie pozwala odczytać ustawień przejść.\n"
                                        "Ustaw go w tryb 'Service'\n");
}

TEST(ErrorTextTest, WhatGivesTheSameTextAndSurvivesTheThrow) {
  // An error that escapes every guard must still show its text, never a type name.
  std::string text;
  try {
    const UdpDev d = NamedController(2);
    throw UErr(&d, 6, 'D');
  } catch (const std::exception& e) {
    text = e.what();  // the device is gone by now
  }
  EXPECT_EQ(text, "K01_00123, tryb: Serwis.\n\nBłąd nr 6 (r.'D'): Brak odpowiedzi na rozkaz.\n");
  EXPECT_STREQ(UErr(nullptr, 8).what(), "Błąd nr 8: Błąd rozmiaru bufora w programie.\n");
}

TEST(ErrorTextTest, UnknownCodes) {
  const UdpDev d = NamedController(0);
  EXPECT_EQ(ErrorText(UErr(&d, 0)), "K01_00123, tryb: Blokada.\n\nBłąd nr 0: Brak opisu błędu.\n");
  EXPECT_EQ(ErrorText(UErr(&d, 10, 'S')),
            "K01_00123, tryb: Blokada.\n\nBłąd nr 10 (r.'S'): Brak opisu błędu.\n");
  EXPECT_EQ(ErrorText(UErr(&d, -3)),
            "K01_00123, tryb: Blokada.\n\nBłąd nr -3: Brak opisu błędu.\n");
}

// --- Answers come from the device's address only, and never from before the request ---

const std::string kOther = "192.168.1.66";  // another host on the segment

Bytes KeyAnswer(uint32_t id, uint8_t fill) {
  Bytes b(24, fill);
  std::memcpy(b.data(), "MMDK", 4);
  PutU32(b.data() + 4, id);
  return Crc(b);
}

TEST_F(SessionTest, AnswersFromAnotherAddressAreSkippedAndTheDevicesTaken) {
  // A forged key answer and a status answer with bit 7 clear, both from another host and
  // due before the device's own answers: neither counts.
  w.net.Inject(KeyAnswer(kCtrlId, 0x42), kOther, w.clock.now);
  w.net.Inject(KeyAnswer(kCtrlId, 0x42), kOther, w.clock.now + 1);
  dev.OpenSession();
  const Bytes forged =
      OsslAesEcb(KeyAnswer(kCtrlId, 0x42).data() + 8, KeyAnswer(kCtrlId, 0x42).data() + 8);
  EXPECT_NE(Bytes(dev.key, dev.key + 16), forged);
  uint8_t out[1000];
  EXPECT_EQ(dev.Exchange('D', 0, nullptr, 1000, out), int(sim.DevListPayload(w.clock.now).size()))
      << "the device refused frames signed under the key taken";
  dev.status = 0x82;
  w.net.Inject(StatusAnswer(kCtrlId, 0x02), kOther, w.clock.now + 1);
  EXPECT_TRUE(dev.ReadStatus());
  EXPECT_TRUE(dev.session) << "a forged status answer ended the session";
  EXPECT_EQ(dev.status, 0x82);
  // A signed answer from another host, even under the right key, is no answer either.
  sim.faults.silentFor = 'D';
  w.net.Inject(SignedAnswer(kCtrlId, 'D', {1, 2, 3}, dev.key), kOther, w.clock.now + 5);
  EXPECT_EQ(Code([&] { dev.Exchange('D', 0, nullptr, 1000, out); }), 6);
  EXPECT_TRUE(w.SentTo(kOther).empty());
}

TEST_F(SessionTest, AnswersQueuedBeforeTheRequestAreDropped) {
  // A key answer waiting in the socket before 'K' went out is not the answer to it.
  w.net.Inject(KeyAnswer(kCtrlId, 0x42), kIp, w.clock.now);
  dev.OpenSession();
  const Bytes forged =
      OsslAesEcb(KeyAnswer(kCtrlId, 0x42).data() + 8, KeyAnswer(kCtrlId, 0x42).data() + 8);
  EXPECT_NE(Bytes(dev.key, dev.key + 16), forged);
  EXPECT_TRUE(sim.SessionOpen(w.clock.now));
  // An old device list, correctly signed, still queued when the next 'D' goes out.
  const Bytes now = sim.DevListPayload(w.clock.now);
  w.net.Inject(SignedAnswer(kCtrlId, 'D', {1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}, dev.key), kIp,
               w.clock.now);
  uint8_t out[1000];
  ASSERT_EQ(dev.Exchange('D', 0, nullptr, 1000, out), int(now.size()));
  EXPECT_EQ(Bytes(out, out + now.size()), now);
  // An old acknowledgement queued before a new command: the command's own answer decides.
  sim.faults.noAckFor = 'S';
  w.net.Inject(SignedAnswer(kCtrlId, 'S', {kAck}, dev.key), kIp, w.clock.now);
  EXPECT_EQ(Code([&] { dev.Command('S', 0, nullptr); }), 7);
}

}  // namespace
