// The passage editor as a widget of its own: the controls of one passage, rebuilt from the
// model after every change so that each list offers only what may be chosen. It edits the
// configuration model it is given and nothing else: the candidates come from that model's
// own device list, and the window that hosts it decides what the editor cannot know itself
// (the working mode whose rules apply, which of its own buttons follow the editor).
#pragma once
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "config/ctrlcfg.h"
#include "editor_model.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class TDoorTabs;

namespace Ui {
class TDoorEditor;
}

struct InRow {
  QLabel* lb;
  QComboBox* cb;
  QCheckBox* nc;
};

// Characters the user can type into the train-number field.
constexpr int kTrainNrChars = 4;

class TPassageEditor : public QWidget {
 public:
  explicit TPassageEditor(QWidget* parent = nullptr);
  ~TPassageEditor() override;

  // The model edited, and the host's passage tabs and train-number field (its label may be
  // null). Called once, before the editor is used.
  void Attach(CtrlCfg& cfg, TDoorTabs* tabs, QLineEdit* trainNr, QLabel* trainLbl);
  CtrlCfg& Cfg() { return *cfg_; }
  const CtrlCfg& Cfg() const { return *cfg_; }

  // What the host decides. The working mode whose rules apply to the testing group; the
  // host's controls that are enabled exactly while the editor is (may be unset); a change
  // the user made to the model (may be unset).
  std::function<int()> modeOf;
  std::function<void(bool)> onEnable;
  std::function<void()> onEdited;

  std::unique_ptr<Ui::TDoorEditor> ed;
  InRow InRows[4];
  bool Refreshing = false;

  // Tabs, train-number visibility and airlock list of the model; no refresh.
  void BuildTabs();
  void RefreshDoorEditor();
  void ClearDoorEditor();
  void EnableDoorEditor(bool on);
  void EnableTesting(bool on);
  void ClearTesting();
  void FillOutputList(QComboBox* box, int slot);
  void FillSharedOutputList(QComboBox* box, int slot);
  void FillInputList(QComboBox* box, int slot);
  void FillOpenSensorList(IoRef bolt);
  void FillReaderList(QComboBox* box, int slot);
  void ShowOutputNC(QCheckBox* box, IoRef ref);
  void ShowInputNC(QCheckBox* box, IoRef ref);
  void ShowTrainNumber();
  // Index of the selected passage tab (-1 when none).
  int SelectedDoor() const;
  // Whether the editor is enabled (a model with passages is shown).
  bool Active() const;

  // Handlers.
  void DoorTcChange();
  void RygielCbChange();
  void RemindCbChange();
  void AlarmCbChange();
  void CctvCbChange();
  void OutBtnCbChange();
  void OpenDetectCbChange();
  void Alarm0CbChange();
  void Alarm1CbChange();
  void RdCbChange(int slot);  // Rd1CbChange..Rd4CbChange
  void RygielNCClick();
  void RemindNCClick();
  void AlarmNCClick();
  void CctvNCClick();
  void OutBtnNCClick();
  void OpenDetectNCClick();
  void Alarm0NCClick();
  void Alarm1NCClick();
  void KlamkaCbClick();
  void FullTimCbClick();
  void TypeCbChange();
  void SluzaCbChange();
  void RygTimEdExit();
  void OpenTimEdExit();
  void TrainNrEdExit();

  // The user changed the model.
  void Edited() {
    if (onEdited) onEdited();
  }

 private:
  void Connect();

  CtrlCfg* cfg_ = nullptr;
  TDoorTabs* tabs_ = nullptr;
  QLineEdit* trainNr_ = nullptr;
  QLabel* trainLbl_ = nullptr;
  QString trainShown_;  // the train number as the last refresh showed it
  // Free candidates of the kind being filled, and the item storage handed to the list
  // models; both reused by every refresh, so a refresh allocates nothing new.
  FreeList freeRefs_;
  std::vector<IoRef> listItems_;
};

// Sets a flag for a scope; restores what it was, also when an exception passes.
struct FlagScope {
  explicit FlagScope(bool& f) : flag(f), old(f) { flag = true; }
  ~FlagScope() { flag = old; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;
  bool& flag;
  bool old;
};
