// Keyboard and screen-reader access: the Tab key walks every control in the layout's order,
// the passage tabs answer the arrow keys, and every control has a Polish accessible name.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QTabBar>
#include <QTimer>
#include <map>

#include "tests/common/fakehost.h"

// Readable QString values in failure messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace {

constexpr uint32_t kIp = 0xC0A8010Au;  // 192.168.1.10

QString AccName(QWidget* w) {
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
  return a ? a->text(QAccessible::Name) : QString();
}

// What a screen reader speaks for the control: on Linux a combo box's own name is its
// current text, and the reader takes the name of the label that labels it (its buddy);
// every other control carries its name itself.
QString Spoken(QWidget* w) {
  if (!qobject_cast<QComboBox*>(w)) return AccName(w);
  QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
  for (const auto& [label, rel] : a->relations(QAccessible::Label))
    if (qobject_cast<QLabel*>(label->object())) return label->text(QAccessible::Name);
  return w->accessibleName();
}

void Key(QWidget* w, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(w, &press);
  QApplication::sendEvent(w, &release);
}

// Every widget of `top` that the Tab key can reach now.
QSet<QString> TabTargets(QWidget* top) {
  QSet<QString> names;
  for (QWidget* w : top->findChildren<QWidget*>())
    if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(top) && w->isEnabled() &&
        !w->focusProxy())
      names.insert(w->objectName());
  return names;
}

struct Loaded : GuiWorld {
  Loaded() {
    AddController(MakeId(327, 5), kIp, 3, 3);  // Instalacja: the testing group is on too
    Start();
    Show();
    win->activateWindow();
    QApplication::setActiveWindow(win.get());
    // The train number field takes part when shown; show it for the walk.
    Find<QLineEdit>("TrainNrEd")->setVisible(true);
  }
};

TEST(Keyboard, TabWalksEveryControlInLayoutOrderAndWrapsAround) {
  Loaded w;
  ASSERT_TRUE(w.Find<QTabBar>("DoorTc")->isEnabled());
  const std::vector<QString> expected = {
      "EthLstBox",    "HelpEthBtn",   "WwwBtn",     "SearchEthBtn", "DevListBox", "HelpDevBtn",
      "DelLostBtn",   "ReplCb",       "ReplaceBtn", "DoorTc",       "RygielCb",   "RygielNC",
      "OpenDetectCb", "OpenDetectNC", "OutBtnCb",   "OutBtnNC",     "Alarm0Cb",   "Alarm0NC",
      "Alarm1Cb",     "Alarm1NC",     "RemindCb",   "RemindNC",     "AlarmCb",    "AlarmNC",
      "CctvCb",       "CctvNC",       "Rd1Cb",      "Rd2Cb",        "Rd3Cb",      "Rd4Cb",
      "SluzaCb",      "KlamkaCb",     "FullTimCb",  "TypeCb",       "RygTimEd",   "OpenTimEd",
      "HelpDoorBtn",  "TrainNrEd",    "RapCfgBtn",  "WrCfgBtn"};
  // Disabled controls drop out of the walk; enable them all so that each is seen.
  for (QWidget* c : w.win->findChildren<QWidget*>()) c->setEnabled(true);
  QSet<QString> all = TabTargets(w.win.get());
  EXPECT_EQ(all, QSet<QString>(expected.begin(), expected.end()))
      << "every control the Tab key can reach is in the order, and nothing else";

  w.Find<QWidget>("EthLstBox")->setFocus(Qt::TabFocusReason);
  std::vector<QString> seen;
  for (size_t i = 0; i <= expected.size(); ++i) {
    QWidget* f = QApplication::focusWidget();
    ASSERT_NE(f, nullptr) << "focus lost after " << i << " Tab presses";
    // The editable airlock list reports its line edit; the combo box is the control.
    if (f->objectName().isEmpty() && f->parentWidget()) f = f->parentWidget();
    seen.push_back(f->objectName());
    Key(f, Qt::Key_Tab);
  }
  std::vector<QString> wanted = expected;
  wanted.push_back(expected.front());
  EXPECT_EQ(seen, wanted);
}

TEST(Keyboard, ArrowKeysOnTheFocusedTabsChooseThePassage) {
  Loaded w;
  auto* tabs = w.Find<QTabBar>("DoorTc");
  auto* bolt = w.Find<QComboBox>("RygielCb");
  ASSERT_EQ(tabs->count(), 3);
  ASSERT_EQ(tabs->currentIndex(), 0);
  const QString first = bolt->itemText(0);
  tabs->setFocus(Qt::TabFocusReason);
  ASSERT_EQ(QApplication::focusWidget(), tabs);
  Key(tabs, Qt::Key_Right);
  EXPECT_EQ(tabs->currentIndex(), 1);
  // The editor now shows passage 2: its bolt is the controller's second output.
  EXPECT_NE(bolt->itemText(0), first);
  EXPECT_TRUE(bolt->itemText(0).endsWith(QStringLiteral(":Out2")))
      << bolt->itemText(0).toStdString();
  Key(tabs, Qt::Key_Left);
  EXPECT_EQ(tabs->currentIndex(), 0);
  EXPECT_EQ(bolt->itemText(0), first);
}

TEST(Access, EveryControlOfTheFourWindowsHasAPolishNameAndCaptionsStay) {
  Loaded w;
  for (QWidget* c : w.win->findChildren<QWidget*>()) c->setEnabled(true);
  for (QWidget* top : {static_cast<QWidget*>(w.win.get()), static_cast<QWidget*>(w.help.get()),
                       static_cast<QWidget*>(w.lok.get())})
    for (const QString& name : TabTargets(top)) {
      QWidget* c = top->findChild<QWidget*>(name);
      EXPECT_FALSE(Spoken(c).trimmed().isEmpty()) << name.toStdString() << " has no name";
      EXPECT_FALSE(c->accessibleName().isEmpty()) << name.toStdString() << " has no name";
    }
  w.help->ShowPage(2);
  EXPECT_EQ(AccName(w.help->findChild<QWidget*>("HelpEdit")), "Pomoc: Okno Przejścia");

  const std::map<const char*, QString> editor = {{"RygielCb", "Rygiel"},
                                                 {"RygielNC", "Rygiel NC"},
                                                 {"OpenDetectCb", "Czujnik otwarcia"},
                                                 {"OpenDetectNC", "Czujnik otwarcia NC"},
                                                 {"OutBtnCb", "Przycisk wyjścia"},
                                                 {"Alarm0NC", "Czujka alarmowa NC"},
                                                 {"Alarm1Cb", "Sabotaż"},
                                                 {"RemindNC", "Przypomnienie NC"},
                                                 {"CctvCb", "CCTV"},
                                                 {"Rd1Cb", "Czytnik 1"},
                                                 {"Rd4Cb", "Czytnik 4"},
                                                 {"SluzaCb", "Śluza"},
                                                 {"TypeCb", "Typ przejścia"},
                                                 {"RygTimEd", "Impuls otwarcia rygla"},
                                                 {"OpenTimEd", "Dozwolony czas otwarcia"},
                                                 {"TrainNrEd", "Nr pociągu"},
                                                 {"EthLstBox", "Urządzenia w sieci Ethernet"},
                                                 {"DevListBox", "Urządzenia magistrali QuorinBUS"},
                                                 {"WrCfgBtn", "Zapisz"}};
  for (const auto& [obj, name] : editor) {
    QWidget* c = w.Find<QWidget>(obj);
    EXPECT_EQ(c->accessibleName(), name) << obj;
    if (QString(obj) != "SluzaCb") {
      EXPECT_EQ(Spoken(c), name) << obj;
    }
  }
  // What the screen shows is unchanged.
  EXPECT_EQ(w.Find<QLabel>("RygielLb")->text(), "Rygiel:");
  EXPECT_EQ(w.Find<QCheckBox>("RygielNC")->text(), "NC");
  EXPECT_EQ(w.Find<QLabel>("OpenTimLb")->text(), "Dozw. czas otwarcia:");
  EXPECT_EQ(w.Find<QLabel>("Rd1Lb")->text(), "1:");
}

TEST(Access, TheErrorBoxCarriesItsTextForTheScreenReader) {
  EnsureQtApp();
  QtUiHost host;
  QString name, description, shown;
  QTimer::singleShot(0, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(box);
    name = a->text(QAccessible::Name);
    description = a->text(QAccessible::Description);
    shown = box->text();
    box->accept();
  });
  host.ErrorBox(nullptr, "Error", "K27_00007 Blokada Błąd 9 'c': Tryb kontrolera nie pozwala.");
  EXPECT_EQ(name, "Error");
  EXPECT_EQ(description, "K27_00007 Blokada Błąd 9 'c': Tryb kontrolera nie pozwala.");
  EXPECT_EQ(shown, description);
}

}  // namespace
