// Main window: Ethernet list, controller group, passage editor.
#pragma once
#include <QPointer>
#include <QString>
#include <QWidget>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "closeflow.h"
#include "config/archive.h"
#include "config/ctrlcfg.h"
#include "doored.h"
#include "editor_model.h"
#include "intent.h"
#include "link/udpdev.h"
#include "oprunner.h"
#include "uihost.h"

class QMenuBar;
class QTimer;
class TPlanWin;
struct CtrlSnap;
class THelpWin;
class TLokalizDlg;

namespace Ui {
class TMainWin;
}  // namespace Ui

// Where the keep-alive pass of the next tick starts (0..4).
extern int KeepAliveStart;

// What the window's own handlers know of the selected device while the link may be busy
// with the device set: taken from the set before and after every network step.
struct SelectedView {
  int index = -1;  // -1: none
  uint32_t id = 0;
  int mode = 0;
  std::string ip;
};

class TMainWin : public QWidget {
 public:
  // startTimer false: tests call UDPTimerTimer themselves in virtual time.
  // link: where the network steps run; Inline in tests, Worker in the program.
  TMainWin(UiHost& host, Endpoint& udp, Clock& clock, bool startTimer = true,
           LinkThread link = LinkThread::Inline, QWidget* parent = nullptr);
  ~TMainWin() override;

  // Members in their fixed order: the endpoint outlives the device set, whose
  // destruction ends every open session.
  Endpoint& UDP;

 private:
  UdpDevSet devSet_;  // the found devices: through Devs(), or inside a network step

 public:
  CtrlCfg Cfg;
  bool ShowTimerErrors = true;

  std::unique_ptr<Ui::TMainWin> ui;
  TPassageEditor* DoorEd = nullptr;  // the passage editor, editing Cfg
  QTimer* UDPTimer = nullptr;
  UiHost& host;
  Clock& clock;
  int modalDepth = 0;  // > 0 while an error box or another modal window of the tool is open
  // The boxes that waited for the last box or modal window to close, one after another.
  void ShowWaitingBoxes();

  // Start-up search; with the worker it runs behind the window, which may show at once.
  void FormCreate();
  // Closes the window for a signal: what runs or waits finishes within its waits, no box
  // opens, and the close is not cancelled.
  void Quit();
  // Called once the window has closed (the program ends then).
  std::function<void()> onClosed;
  // One line of the window's status text (an action that did not run, a warning); empty
  // clears it.
  void ShowStatus(const QString& text);
  // Changes whenever `Cfg` is replaced by a load; edits and renewed device tables keep it.
  uint64_t CfgGeneration() const { return cfgGen_; }
  // No operation runs or waits.
  bool Idle() const { return ops_.Idle(); }
  // Hands the network steps to another executor; only while idle.
  void UseLinkExecutor(std::unique_ptr<LinkExecutor> exec) { ops_.UseExecutor(std::move(exec)); }

  // Handlers. Those that reach the network queue an operation: it runs when the one
  // running now (and those asked for earlier) have ended.
  void HelpEthBtnClick();
  void HelpDevBtnClick();
  void HelpDoorBtnClick();
  void SearchEthBtnClick();
  void WwwBtnClick();
  void EthLstBoxClick();
  void UDPTimerTimer();
  void DelLostBtnClick();
  void ReplaceBtnClick();
  void WrCfgBtnClick();
  void RapCfgBtnClick();

  // Internal operations. The coroutines among them (OpTask) run inside an operation.
  void ShowError(const QString& text);
  // An information box over `parent`, in turn with the error boxes; once a signal asked the
  // program to end, its text goes to the status line and standard error instead.
  void ShowInfo(QWidget* parent, const QString& caption, const QString& text);
  OpTask RefreshEthList();
  void TellNoAnswer();
  OpTask SelectDevice();
  void RefreshDevList();
  // Passage tabs, train number and airlock list, then the device list, which ends with
  // the passage editor's refresh.
  void RebuildDoorTabs();
  void RefreshDoorEditor() { DoorEd->RefreshDoorEditor(); }
  // Writes the report atomically; throws std::runtime_error with the path and reason.
  void WriteReport(const QString& fileName, const std::string& location8bit);

  // Index of the selected passage tab (-1 when none).
  int SelectedDoor() const { return DoorEd->SelectedDoor(); }
  // The set of found devices. Only while no network step runs (inside an operation between
  // its steps, or when the window is idle): checked in debug and sanitizer builds.
  UdpDevSet& Devs();
  const UdpDevSet& Devs() const;
  // Makes device `id` the one every action addresses (0: none). The window's only record of
  // the selection; a pick does it for the line picked.
  void SetSelected(uint32_t id) { selId_ = id; }
  // The device every action addresses, or null; its index in Devs(), or -1. Only while no
  // network step runs, as Devs().
  UdpDev* SelectedDev();
  int SelectedIndex() const;
  // The selected device as its line shows it; the window's handlers may read it at any time.
  SelectedView Selected() const;

  // Menu "Plik" (mainmenu.cpp).
  void NewPlanMnClick();
  void OpenPlanMnClick();
  void SaveArchiveMnClick();
  void CompareArchiveMnClick();
  void DocPdfMnClick();  // docmenu.cpp
  // A plan window over the file at path; an error box and null when the file is refused.
  TPlanWin* OpenPlanWindow(const QString& path);
  // The plan windows open now.
  std::vector<TPlanWin*> PlanWindows() const;
  QMenuBar* MenuBar = nullptr;

  // For the plan window: an operation run by this window's runner in turn with its own,
  // and a network step of such an operation on the same link; whether the window is
  // closing (an operation that has not started yet then does nothing).
  bool Closing() const { return close_.Now() != CloseFlow::kOpen; }
  // A signal asked the program to end: no box or window of the tool opens any more.
  bool Quitting() const { return close_.Quitting(); }
  void SubmitOp(std::function<OpTask()> make) { ops_.Submit(OpRunner::kUser, std::move(make)); }
  // Another window of the tool has written the passages of controller `id`: when this
  // window shows that controller, it loads it again, so what it shows (and what its
  // "Zapisz" would send) is what the controller now holds.
  void PassagesWrittenElsewhere(uint32_t id);
  // The window shows controller `id` with edits of its passages not written to it.
  bool UnsavedEditsFor(uint32_t id) const;
  NetStep NetOp(std::function<void()> work) { return Net(std::move(work)); }

  // Error guard of the action handlers: a UErr shows ErrorText, any other error its message.
  template <class F>
  bool Guard(F&& f) {
    try {
      f();
      return true;
    } catch (...) {
      ShowCaught(std::current_exception());
    }
    return false;
  }
  void ShowCaught(std::exception_ptr err);
  // The text of an error for its box: the link's own, a socket's failure in Polish, or the
  // error's message.
  static QString CaughtText(const std::exception& e);

 protected:
  void closeEvent(QCloseEvent* ev) override;
  void showEvent(QShowEvent* ev) override;
  bool eventFilter(QObject* obj, QEvent* ev) override;

 private:
  void SetupWidgets();   // mainwin.cpp: forms and connections
  void PinGroups();      // keeps each group's first row where it belongs under its title
  void PlaceDoorTabs();  // the passage tabs over the editor's top edge, all rows shown
  void ShowHelp(int page);
  void UpdateBusy();
  // The error box itself, once it is decided that the error is shown: at once, or after the
  // box or modal window open now.
  void OpenErrorBox(const QString& text);
  // A network step of an operation: `co_await Net(...)`.
  NetStep Net(std::function<void()> work);
  // The operations behind the handlers (mainflow.cpp).
  OpTask StartUp();
  OpTask Search();
  // Network step: a search, then the late answers waited out.
  void SearchAndWaitLate();
  OpTask Pick(uint32_t id);
  OpTask Reload(uint32_t id);
  OpTask Tick();
  OpTask DelLost(Intent in);
  OpTask Replace(Intent in);
  OpTask Write(Intent in);
  OpTask Report(Intent in);
  // A user's action on the selected device: what the user saw is taken now, and the
  // operation runs only if the window still shows it when its turn comes.
  void SubmitAction(UserAction action, uint16_t pair, OpTask (TMainWin::*op)(Intent));
  OpTask Checked(Intent in, OpTask (TMainWin::*op)(Intent));
  // Whether the action may go on now; if not, says so in the status text.
  bool Still(const Intent& in);
  // The line of EthLstBox showing device `id`, -1 for none.
  int LineOf(uint32_t id) const;
  // The device whose line is to be highlighted: the user's last pick while it waits.
  uint32_t HighlightedId() const;
  OpTask CollectAndRefresh();
  // `text` followed by the device set's reports not shown yet ("; " between them).
  std::string WithSetReports(std::string text);
  OpTask ReadConfigOf(UdpDev* d);
  void ReportFlow();
  void SetupMenu();  // mainmenu.cpp
  OpTask NewPlan();
  // The controller shown at the click read afresh for an action of the menu "Plik".
  // The controller on screen for a menu item and the file to save into: false when no
  // controller is on screen (said in the status line) or the user cancelled the dialog.
  bool ShownAndSavePath(UserAction action, const QString& item, const QString& filter,
                        const QString& ext, Intent& in, QString& path);
  enum class ShownRead { NotRun, Failed, Gone, Done };
  OpTask ReadShown(Intent in, CtrlSnap& r, std::exception_ptr& err, ShownRead& st);
  OpTask SaveArchive(Intent in, QString path);
  OpTask CompareArchive(Intent in, std::shared_ptr<Archive> arc);
  OpTask DocPdf(Intent in, QString path);

  OpRunner ops_;
  uint32_t selId_ = 0;        // the selected device; 0: none
  bool stepRunning_ = false;  // a network step is out: the device set is the link's
  CtrlCfg netCfg_;            // the copy of Cfg a network step works on
  CtrlCfg stored_;            // the passages as last read from or written to the controller
  CloseFlow close_;
  uint64_t cfgGen_ = 1;    // see CfgGeneration()
  Intent shown_;           // the device and load the controller group shows
  uint32_t lastPick_ = 0;  // the device the user picked last
  int picksWaiting_ = 0;   // picks asked for whose turn has not come
  bool busyShown_ = false;
  struct WaitingBox {
    bool error;
    QString caption, text;
    QPointer<QWidget> parent;
  };
  std::deque<WaitingBox> boxesWaiting_;  // boxes to show once no box is open
  bool showingBoxes_ = false;            // ShowWaitingBoxes is under way
  bool listUpdating_ = false;            // the program itself is changing EthLstBox
  bool clickReloads_ = false;  // the last press on EthLstBox hit the line already selected
  bool centred_ = false;       // placed in the middle of the screen at the first show
};

// Counts a modal window of the tool as open while it lives; ticks are held back meanwhile.
struct ModalScope {
  explicit ModalScope(TMainWin& w) : win(w) { ++win.modalDepth; }
  ~ModalScope() {
    if (--win.modalDepth == 0) win.ShowWaitingBoxes();
  }
  ModalScope(const ModalScope&) = delete;
  ModalScope& operator=(const ModalScope&) = delete;
  TMainWin& win;
};

extern TMainWin* MainWin;
extern THelpWin* HelpWin;
extern TLokalizDlg* LokalizDlg;
