// Main window: start-up, layout, the Ethernet group's buttons and the help buttons.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTabBar>
#include <cerrno>
#include <cstring>

#include "link/posix_endpoint.h"
#include "tests/common/fakehost.h"
#include "ui/plansteps.h"

namespace {

constexpr uint32_t kIpA = 0xC0A8010Au;  // 192.168.1.10
constexpr uint32_t kIpB = 0xC0A8010Bu;

uint32_t K27(uint32_t serial) {
  return MakeId(327, serial);
}

std::string Cmds(const SimDevice& d) {
  const std::vector<char> c = d.Commands();
  return std::string(c.begin(), c.end());
}

TEST(MainWinStart, NoDeviceLeavesEverythingInItsCreationState) {
  GuiWorld w;
  w.Start();
  EXPECT_TRUE(w.host.errors.empty());
  EXPECT_EQ(w.win->Devs().count, 0);
  EXPECT_EQ(w.win->SelectedIndex(), -1);
  EXPECT_TRUE(w.Lines("EthLstBox").empty());
  EXPECT_FALSE(w.Find<QPushButton>("WwwBtn")->isEnabled());
  EXPECT_TRUE(w.Find<QPushButton>("SearchEthBtn")->isEnabled());
  EXPECT_TRUE(w.Find<QGroupBox>("SelDevBox")->title().isEmpty());
  EXPECT_TRUE(w.Lines("DevListBox").empty());
  EXPECT_FALSE(w.Find<QPushButton>("DelLostBtn")->isEnabled());
  EXPECT_FALSE(w.Find<QPushButton>("ReplaceBtn")->isEnabled());
  EXPECT_FALSE(w.Find<QComboBox>("ReplCb")->isEnabled());
  EXPECT_FALSE(w.Find<QLabel>("ReplLb")->isEnabled());
  EXPECT_FALSE(w.Find<QTabBar>("DoorTc")->isEnabled());
  EXPECT_FALSE(w.Find<QPushButton>("WrCfgBtn")->isEnabled());
  EXPECT_FALSE(w.Find<QPushButton>("RapCfgBtn")->isEnabled());
  EXPECT_TRUE(w.Find<QLabel>("TrainNrLbl")->isHidden());
  EXPECT_TRUE(w.Find<QLineEdit>("TrainNrEd")->isHidden());
  EXPECT_EQ(w.Find<QLineEdit>("TrainNrEd")->maxLength(), 4);
  // Three broadcasts, nothing else.
  int broadcasts = 0;
  for (const NetDatagram& d : w.net.sentByTool) broadcasts += d.to == "255.255.255.255";
  EXPECT_EQ(broadcasts, 3);
  EXPECT_EQ(w.net.sentByTool.size(), 3u);
  // A tick with nothing found ends early and sends nothing but a look at the endpoint.
  w.Tick();
  EXPECT_EQ(w.net.sentByTool.size(), 3u);
  EXPECT_TRUE(w.host.errors.empty());
}

TEST(MainWinStart, ServiceControllerIsReadBeforeTheWindowIsShown) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 2, 3);
  w.Start();
  EXPECT_FALSE(w.win->isVisible());
  EXPECT_EQ(Cmds(ctrl), "KDC");
  EXPECT_TRUE(w.host.errors.empty());
  EXPECT_EQ(w.win->SelectedIndex(), 0);
  EXPECT_EQ(w.win->Cfg.doorCount, 3);
  EXPECT_EQ(w.win->Cfg.listedCount, 2);
  ASSERT_EQ(w.Lines("EthLstBox").size(), 1u);
  EXPECT_EQ(w.Lines("EthLstBox")[0], QString::fromStdString(w.win->Devs().dev[0].ListText()));
  EXPECT_TRUE(w.Lines("EthLstBox")[0].contains("Serwis"));
  EXPECT_TRUE(w.Find<QListWidget>("EthLstBox")->item(0)->isSelected());
  EXPECT_TRUE(w.Find<QPushButton>("WwwBtn")->isEnabled());
  EXPECT_EQ(w.Find<QGroupBox>("SelDevBox")->title(), QString(" K27_00002 "));
  EXPECT_EQ(w.Lines("DevListBox").size(), 2u);
  EXPECT_TRUE(w.Find<QPushButton>("WrCfgBtn")->isEnabled());
  EXPECT_TRUE(w.Find<QPushButton>("RapCfgBtn")->isEnabled());
  EXPECT_TRUE(w.Find<QTabBar>("DoorTc")->isEnabled());
  EXPECT_EQ(w.Find<QTabBar>("DoorTc")->count(), 3);
  w.Show();
  EXPECT_TRUE(w.win->isVisible());
}

TEST(MainWinStart, BlockedControllerShowsErrorNineBeforeTheWindow) {
  GuiWorld w;
  SimDevice& ctrl = w.AddController(K27(2), kIpA, 0, 2);
  bool visibleDuringBox = true;
  w.host.onError = [&](const QString&) { visibleDuringBox = w.win->isVisible(); };
  w.Start();
  ASSERT_EQ(w.host.errors.size(), 1u);
  EXPECT_FALSE(visibleDuringBox);
  EXPECT_EQ(w.host.errors[0].caption, QString("Błąd"));
  EXPECT_TRUE(w.host.errors[0].text.contains("Błąd nr 9")) << w.host.errors[0].text.toStdString();
  EXPECT_TRUE(w.host.errors[0].text.contains("K27_00002"));
  EXPECT_TRUE(w.Lines("EthLstBox")[0].contains("Blokada"));
  EXPECT_TRUE(Cmds(ctrl).empty());  // no session is even attempted
  EXPECT_EQ(w.win->Cfg.doorCount, 0);
  EXPECT_EQ(w.win->Cfg.listedCount, 0);
  EXPECT_FALSE(w.Find<QPushButton>("WrCfgBtn")->isEnabled());
  EXPECT_TRUE(w.Find<QGroupBox>("SelDevBox")->title().isEmpty());
}

TEST(MainWinStart, FirstOfSeveralDevicesIsSelectedByIdentifierNotArrival) {
  GuiWorld w;
  w.AddController(K27(10), kIpB, 2, 1);
  SimDevice& low = w.AddController(K27(2), kIpA, 2, 2);
  w.Start();
  ASSERT_EQ(w.win->Devs().count, 2);
  EXPECT_EQ(w.win->Devs().dev[0].id, K27(2));
  EXPECT_EQ(w.win->SelectedIndex(), 0);
  EXPECT_EQ(w.win->Cfg.doorCount, 2);
  EXPECT_EQ(Cmds(low), "KDC");
  EXPECT_TRUE(w.Lines("EthLstBox")[0].startsWith(" K27_00002,  192.168.1.10,  "));
}

int MenuBarHeight(GuiWorld& w) {
  return w.win->MenuBar ? w.win->MenuBar->sizeHint().height() : 0;
}

TEST(MainWinStart, WindowHasItsCaptionFontAndFixedSize) {
  GuiWorld w;
  w.Start();
  EXPECT_EQ(w.win->windowTitle(), QString("Feldaro 1.2.1"));
  // What the plans and documents it saves name as their tool is the same program.
  EXPECT_EQ(w.win->windowTitle().toStdString(), kToolName);
  EXPECT_EQ(w.win->font().pixelSize(), 11);
  EXPECT_EQ(w.win->font().family(), QString("Arial"));
  // The client area below the menu bar "Plik" is 847 x 590.
  const int bar = MenuBarHeight(w);
  EXPECT_EQ(w.win->minimumSize(), QSize(847, 590 + bar));
  EXPECT_EQ(w.win->maximumSize(), QSize(847, 590 + bar));
  w.Show();
  EXPECT_EQ(w.win->size(), QSize(847, 590 + bar));
  // Centred on the screen at the first show.
  if (QScreen* scr = w.win->screen()) {
    const QPoint mid = w.win->geometry().center();
    const QPoint want = scr->availableGeometry().center();
    EXPECT_LE(std::abs(mid.x() - want.x()), 2);
    EXPECT_LE(std::abs(mid.y() - want.y()), 2);
  }
  EXPECT_EQ(w.Find<QGroupBox>("SelBox")->title(), QString(" Ethernet "));
  EXPECT_EQ(w.Find<QGroupBox>("DoorGrpBox")->title(), QString(" Przejścia "));
  EXPECT_EQ(w.Find<QGroupBox>("GroupBox6")->title(), QString(" Zastępowanie "));
  EXPECT_EQ(w.Find<QLabel>("Label18")->text(),
            QString("Urządzenie") + QString(7, ' ') + "Adres IP" + QString(10, ' ') + "Stan");
  EXPECT_EQ(w.Find<QLabel>("ReplLb")->text(), QString("Stary") + QString(16, ' ') + "Nowy");
  EXPECT_EQ(w.Find<QPushButton>("SearchEthBtn")->text(), QString("Przeszukaj sieć"));
  EXPECT_EQ(w.Find<QPushButton>("DelLostBtn")->text(), QString("Usuń nieaktywne"));
  EXPECT_EQ(w.Find<QPushButton>("ReplaceBtn")->text(), QString("Zastąp"));
  EXPECT_EQ(w.Find<QPushButton>("WrCfgBtn")->text(), QString("Zapisz"));
  EXPECT_EQ(w.Find<QPushButton>("RapCfgBtn")->text(), QString("Raport"));
  EXPECT_EQ(w.Find<QLabel>("TrainNrLbl")->text(), QString("Nr pociągu:"));
  EXPECT_EQ(w.Find<QListWidget>("EthLstBox")->selectionMode(), QAbstractItemView::SingleSelection);
}

struct Place {
  const char* name;
  int x, y, w, h;
};

// Positions within the parent, as the window's layout table gives them.
const Place kPlaces[] = {
    {"SelBox", 16, 8, 281, 209},      {"Label18", 28, 20, 0, 14},
    {"EthLstBox", 24, 40, 233, 113},  {"HelpEthBtn", 24, 168, 57, 25},
    {"WwwBtn", 88, 168, 57, 25},      {"SearchEthBtn", 152, 168, 105, 25},
    {"SelDevBox", 16, 232, 281, 345}, {"DevListBox", 16, 24, 249, 188},
    {"HelpDevBtn", 32, 224, 65, 25},  {"DelLostBtn", 144, 224, 105, 25},
    {"GroupBox6", 8, 264, 265, 73},   {"ReplLb", 32, 20, 0, 14},
    {"ReplCb", 16, 40, 153, 22},      {"ReplaceBtn", 184, 32, 65, 25},
    {"DoorGrpBox", 312, 8, 521, 569}, {"DoorTc", 16, 24, 489, 0},
    {"DoorPanel", 16, 48, 489, 465},  {"HelpDoorBtn", 32, 528, 75, 25},
    {"RapCfgBtn", 304, 528, 75, 25},  {"WrCfgBtn", 406, 528, 75, 25},
};

void ExpectPlaces(GuiWorld& w) {
  for (const Place& p : kPlaces) {
    QWidget* c = w.Find<QWidget>(p.name);
    ASSERT_NE(c, nullptr) << p.name;
    QRect g = c->geometry();
    // The window's own groups sit in the client area below the menu bar.
    if (c->parentWidget() == w.win.get()) g.translate(0, -MenuBarHeight(w));
    EXPECT_LE(std::abs(g.x() - p.x), 1) << p.name << " x " << g.x();
    EXPECT_LE(std::abs(g.y() - p.y), 1) << p.name << " y " << g.y();
    if (p.w) {
      EXPECT_EQ(g.width(), p.w) << p.name;
    }
    if (p.h) {
      EXPECT_EQ(g.height(), p.h) << p.name;
    }
  }
}

TEST(MainWinStart, ControlsSitWhereTheLayoutTablePutsThem) {
  GuiWorld w;
  w.Start();
  w.Show();
  QApplication::processEvents();
  ExpectPlaces(w);
  EXPECT_EQ(w.Find<QWidget>("DoorTc")->parentWidget()->objectName(), QString("DoorGrpBox"));
  EXPECT_EQ(w.Find<QWidget>("ReplCb")->parentWidget()->objectName(), QString("GroupBox6"));
  EXPECT_EQ(w.Find<QWidget>("GroupBox6")->parentWidget()->objectName(), QString("SelDevBox"));
}

TEST(MainWinStart, CaptionOfTheControllerGroupDoesNotMoveItsRows) {
  GuiWorld w;
  w.AddController(K27(2), kIpA, 2, 1);
  w.Start();
  w.Show();
  QApplication::processEvents();
  ASSERT_FALSE(w.Find<QGroupBox>("SelDevBox")->title().isEmpty());
  ExpectPlaces(w);
}

TEST(MainWinStart, TrainNumberFieldKeepsItsPlaceWhenShown) {
  GuiWorld w;
  w.Start();
  w.Show();
  w.Find<QLabel>("TrainNrLbl")->show();
  w.Find<QLineEdit>("TrainNrEd")->show();
  QApplication::processEvents();
  const QRect lbl = w.Find<QLabel>("TrainNrLbl")->geometry();
  const QRect edit = w.Find<QLineEdit>("TrainNrEd")->geometry();
  EXPECT_LE(std::abs(lbl.x() - 144), 1);
  EXPECT_LE(std::abs(lbl.y() - 534), 1);
  EXPECT_LE(std::abs(edit.x() - 208), 1);
  EXPECT_LE(std::abs(edit.y() - 530), 1);
  EXPECT_EQ(edit.size(), QSize(41, 22));
  EXPECT_EQ(w.Find<QPushButton>("RapCfgBtn")->geometry().x(), 304);
  EXPECT_EQ(w.Find<QPushButton>("WrCfgBtn")->geometry().x(), 406);
}

TEST(MainWinStart, WwwOpensTheSelectedDevicesAddressAndNothingElse) {
  GuiWorld w;
  w.AddController(K27(2), 0x0A00002Au, 1, 0);  // 10.0.0.42
  w.Start();
  const size_t sent = w.net.sentByTool.size();
  w.Find<QPushButton>("WwwBtn")->click();
  ASSERT_EQ(w.host.urls.size(), 1u);
  EXPECT_EQ(w.host.urls[0], QString("http://10.0.0.42"));
  EXPECT_EQ(w.net.sentByTool.size(), sent);
}

TEST(MainWinStart, WwwWithNothingSelectedDoesNothing) {
  GuiWorld w;
  w.Start();
  w.win->WwwBtnClick();
  EXPECT_TRUE(w.host.urls.empty());
  EXPECT_TRUE(w.host.errors.empty());
}

TEST(MainWinStart, EachHelpButtonOpensItsPageModallyAndHoldsTicksBack) {
  GuiWorld w;
  w.AddController(K27(2), kIpA, 2, 1);
  w.Start();
  size_t sentDuring = 0, sentBefore = 0;
  std::vector<int> pages;
  w.host.onDialog = [&](QDialog* dlg) {
    EXPECT_EQ(dlg, static_cast<QDialog*>(HelpWin));
    EXPECT_GT(w.win->modalDepth, 0);
    pages.push_back(LoadedPage);
    sentBefore = w.net.sentByTool.size();
    w.Tick();  // the timer falls due while the help window is open
    sentDuring = w.net.sentByTool.size() - sentBefore;
    return int(QDialog::Rejected);
  };
  w.Find<QPushButton>("HelpEthBtn")->click();
  w.Find<QPushButton>("HelpDevBtn")->click();
  w.Find<QPushButton>("HelpDoorBtn")->click();
  w.Find<QPushButton>("HelpDoorBtn")->click();
  EXPECT_EQ(pages, (std::vector<int>{0, 1, 2, 2}));
  EXPECT_EQ(w.host.dialogs.size(), 4u);
  EXPECT_EQ(sentDuring, 0u);
  EXPECT_EQ(w.win->modalDepth, 0);
  // Ticks resume once it is closed.
  const size_t before = w.net.sentByTool.size();
  w.Tick();
  EXPECT_GT(w.net.sentByTool.size(), before);
}

TEST(MainWinStart, SearchFindsNewDevicesAndKeepsTheLoadedConfigurationAndEdits) {
  GuiWorld w;
  SimDevice& a = w.AddController(K27(2), kIpA, 2, 2);
  w.Start();
  ASSERT_EQ(w.win->Cfg.doorCount, 2);
  w.win->Cfg.doors[0].params[kParBoltPulse] = 99;  // an unsaved edit
  SimDevice& b = w.AddController(K27(7), kIpB, 2, 1);
  const size_t aSeen = a.received.size();
  const int64_t t0 = w.clock.now;
  w.Find<QPushButton>("SearchEthBtn")->click();
  EXPECT_EQ(w.win->Devs().count, 2);
  EXPECT_EQ(w.Lines("EthLstBox").size(), 2u);
  EXPECT_EQ(w.win->SelectedIndex(), 0);
  EXPECT_TRUE(w.Find<QListWidget>("EthLstBox")->item(0)->isSelected());
  EXPECT_EQ(w.win->Cfg.doors[0].params[kParBoltPulse], 99);
  EXPECT_EQ(w.win->Cfg.doorCount, 2);
  // Nothing was read again: only the broadcast and the time frame reached the controller.
  EXPECT_EQ(w.Received(a, aSeen), "*T");
  EXPECT_TRUE(b.Commands().empty());
  EXPECT_GE(w.clock.now - t0, 200);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(MainWinStart, SearchInAnUnchangedNetworkWaitsThreeTimes) {
  GuiWorld w;
  w.AddController(K27(2), kIpA, 2, 1);
  w.Start();
  w.Tick();  // the record learns the session bit the load set on the controller
  const int64_t t0 = w.clock.now;
  w.win->SearchEthBtnClick();
  EXPECT_GE(w.clock.now - t0, 600);
  EXPECT_TRUE(w.host.errors.empty());
}

TEST(MainWinStart, FailingSearchRestoresTheCursorBeforeTheBox) {
  GuiWorld w;
  w.Start();
  w.net.failure = "Network is unreachable";
  w.net.failureErrno = ENETUNREACH;
  bool busyDuringBox = true;
  w.host.onError = [&](const QString&) {
    const QCursor* c = QApplication::overrideCursor();
    busyDuringBox = c != nullptr && c->shape() == Qt::WaitCursor;
  };
  w.win->SearchEthBtnClick();
  ASSERT_EQ(w.host.errors.size(), 1u);
  // The system's reason in Polish, under a Polish caption.
  EXPECT_EQ(w.host.errors[0].text,
            QString("Błąd sieci: sieć jest nieosiągalna (komputer nie ma połączenia z siecią)."));
  EXPECT_EQ(w.host.errors[0].caption, QString("Błąd"));
  EXPECT_FALSE(busyDuringBox);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// A real socket on a loopback port that is already taken: the tool cannot bind.
TEST(MainWinStart, EndpointThatCannotBindReportsOnceAndTheWindowStillOpens) {
  const int holder = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = 0;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const uint16_t port = ntohs(addr.sin_port);

  GuiWorld w;
  {
    PosixEndpoint udp(port, port);
    ASSERT_FALSE(udp.ok());
    TMainWin win(w.host, udp, w.clock, false);
    win.FormCreate();
    ASSERT_EQ(w.host.errors.size(), 1u);
    // In Polish, as every socket failure: never the C library's English.
    EXPECT_EQ(w.host.errors[0].text, QString("Błąd sieci: port jest już zajęty."))
        << w.host.errors[0].text.toStdString();
    EXPECT_EQ(win.Devs().count, 0);
    win.show();
    EXPECT_TRUE(win.isVisible());
    for (int i = 0; i < 3; ++i) win.UDPTimerTimer();
    EXPECT_EQ(w.host.errors.size(), 1u);
    // The search button reports it again, each time it is pressed.
    win.SearchEthBtnClick();
    EXPECT_EQ(w.host.errors.size(), 2u);
    win.close();
  }
  LinkSetEndpoint(&w.net);
  close(holder);
}

}  // namespace
