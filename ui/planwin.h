// The plan window: every controller of a site plan with its state against the network, the
// passage editor on the selected controller's planned configuration (no network needed),
// and the actions that check, fetch, upload and save. Its network work is done by the main
// window's operation runner on the same link: one endpoint, one session per controller.
#pragma once
#include <QString>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "config/plan.h"
#include "doored.h"
#include "optask.h"
#include "plansteps.h"
#include "uihost.h"

class TMainWin;

namespace Ui {
class TPlanWin;
}

class TPlanWin : public QWidget {
 public:
  // main: whose runner and link the network actions use; null when there is no network.
  TPlanWin(UiHost& host, TMainWin* main, QWidget* parent = nullptr);
  ~TPlanWin() override;

  // Reads a plan file (or a version 1 archive); false with the reason, the window unchanged.
  bool Open(const QString& path, std::string& why);
  // A plan made here (from the network, path empty) or read from path; it has no file of
  // its own until "Zapisz plan" when it was read from an archive.
  void SetPlan(SitePlan plan, const QString& path);

  // One line of "Kontrolery planu": a controller of the plan, or one found on the network
  // that the plan lacks (entry -1).
  struct Row {
    int entry = -1;
    uint32_t id = 0;
    DriftState state = DriftState::Unchecked;
    std::vector<std::string> lines;    // Differs: plan -> controller
    std::string reason;                // why the model or the check failed
    std::unique_ptr<CtrlCfg> model;    // what the editor edits (null: no usable record)
    std::unique_ptr<CtrlCfg> saved;    // as in the file (null: not in the file)
    std::unique_ptr<CtrlCfg> checked;  // the entry as the last check compared it
    bool replaced = false;             // fetched from the controller since the last save
  };

  // Handlers.
  void CtrlLstBoxClick();
  void CheckNetBtnClick();
  void DownloadBtnClick();
  void UploadBtnClick();
  void SavePlanBtnClick();
  void SavePlanAsBtnClick();
  void DocPdfBtnClick();  // plandoc.cpp

  // Closes without asking about unsaved edits: the main window closes (after its own
  // question about them) or a signal ends the program.
  void ForceClose() {
    forceClose_ = true;
    close();
  }

  const SitePlan& Plan() const { return plan_; }
  const QString& Path() const { return path_; }
  int RowCount() const { return int(rows_.size()); }
  const Row& RowAt(int i) const { return rows_[size_t(i)]; }
  int Current() const { return cur_; }
  void Select(int row);
  // The row holds edits not yet in the file.
  bool Edited(int row) const;
  // Whether any row does.
  bool AnyEdited() const;
  // The state row `row` shows: "Nie sprawdzono" for an entry edited since its check.
  DriftState StateOf(int row) const;
  // The file a plan window stands for: its plan file, or the archive it was read from.
  const QString& Source() const { return source_; }

  std::unique_ptr<Ui::TPlanWin> ui;
  TPassageEditor* DoorEd = nullptr;

 protected:
  void closeEvent(QCloseEvent* ev) override;
  bool eventFilter(QObject* obj, QEvent* ev) override;

 private:
  void BuildRows();
  // "Zapisz plan" (asNew false) and "Zapisz plan jako…".
  void Save(bool asNew);
  QString AskSavePath();
  static std::string Local(const QString& path);
  void SyncCurrent();
  void ShowRows();
  void ShowCurrent();
  void UpdateTitle();
  bool NoNetwork(const QString& action);
  int RowOf(uint32_t id) const;
  // The planned record of a row as the editor has it now.
  Archive PlannedOf(int row) const;
  void Error(const QString& text);
  // A controller reported with two addresses is not written: says so in a box and in the
  // main window's status line; true when refused.
  bool RefusedForTwoAddresses(const CtrlSnap& read);
  void Info(const QString& text);
  bool Ask(const QString& text);

  // The main window is closing (its close box or a signal): an operation that resumes
  // after a network step ends here, opening no box and sending no write.
  bool Ending() const;
  OpTask CheckOp();
  OpTask DownloadOp(uint32_t id);
  OpTask UploadOp(uint32_t id, std::shared_ptr<CtrlCfg> seenModel);

  UiHost& host_;
  TMainWin* main_;
  SitePlan plan_;
  QString path_;     // the plan file "Zapisz plan" writes (empty: it asks for one)
  QString source_;   // the file the plan was read from (a plan or an archive)
  QString archive_;  // the archive the plan was read from: never written over
  FileStamp stamp_;  // path_ as it was read or last written
  std::vector<Row> rows_;
  int cur_ = -1;
  std::unique_ptr<CtrlCfg> work_;  // the model the editor is attached to
  bool listUpdating_ = false;
  bool forceClose_ = false;
};
