// Passage editor: the controls inside the passage tabs, rebuilt from the model after every
// change so that each list offers only what may be chosen.
#include "doored.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTabBar>
#include <algorithm>

#include "doortabs.h"
#include "editor_model.h"
#include "reflistmodel.h"
#include "ui_dooreditor.h"

namespace {

TRefListModel* RefModel(QComboBox* box) {
  return static_cast<TRefListModel*>(box->model());
}

IoRef SelectedRef(QComboBox* box) {
  return RefModel(box)->Value(box->currentIndex());
}

void Fill(QComboBox* box, std::vector<IoRef>& items) {
  RefModel(box)->SetItems(items);
  box->setCurrentIndex(0);
}

void InstallModel(QComboBox* box, const CtrlCfg& cfg, const char* kind) {
  box->setModel(new TRefListModel(cfg, kind, box));
}

}  // namespace

TPassageEditor::TPassageEditor(QWidget* parent)
    : QWidget(parent), ed(std::make_unique<Ui::TDoorEditor>()) {
  ed->setupUi(this);
  // The passage's input rows, by their slot number.
  InRows[0] = {ed->OutBtnLb, ed->OutBtnCb, ed->OutBtnNC};
  InRows[1] = {ed->OpenDetectLb, ed->OpenDetectCb, ed->OpenDetectNC};
  InRows[2] = {ed->Alarm0Lb, ed->Alarm0Cb, ed->Alarm0NC};
  InRows[3] = {ed->Alarm1Lb, ed->Alarm1Cb, ed->Alarm1NC};
}

TPassageEditor::~TPassageEditor() = default;

void TPassageEditor::Attach(CtrlCfg& cfg, TDoorTabs* tabs, QLineEdit* trainNr, QLabel* trainLbl) {
  cfg_ = &cfg;
  tabs_ = tabs;
  trainNr_ = trainNr;
  trainLbl_ = trainLbl;
  trainNr_->setMaxLength(kTrainNrChars);
  Connect();
}

bool TPassageEditor::Active() const {
  return tabs_->isEnabledTo(window());
}

void TPassageEditor::Connect() {
  for (QComboBox* box : {ed->RygielCb, ed->RemindCb, ed->AlarmCb, ed->CctvCb})
    InstallModel(box, Cfg(), "Out");
  for (const InRow& row : InRows) InstallModel(row.cb, Cfg(), "In");
  for (QComboBox* box : {ed->Rd1Cb, ed->Rd2Cb, ed->Rd3Cb, ed->Rd4Cb})
    InstallModel(box, Cfg(), "Rd");
  // The popups open wide enough for the longest reference text without measuring the items.
  const int popupWidth = ed->RygielCb->fontMetrics().horizontalAdvance("W00_00000:Out15") + 32;
  for (QComboBox* box : findChildren<QComboBox*>())
    if (qobject_cast<TRefListModel*>(box->model())) {
      box->view()->setMinimumWidth(popupWidth);
      // All entries are one line of the same font: the view need not measure each.
      if (auto* list = qobject_cast<QListView*>(box->view())) list->setUniformItemSizes(true);
    }

  // Removing and adding tabs while the tabs are rebuilt raises the same signal as the user.
  connect(tabs_, &QTabBar::currentChanged, this, [this](int) {
    if (!Refreshing) DoorTcChange();
  });
  // A click on a tab takes the focus, so an edit being left stores its value for the
  // passage it belongs to before the tab changes.
  tabs_->setFocusPolicy(Qt::StrongFocus);
  connect(trainNr_, &QLineEdit::editingFinished, this, [this] { TrainNrEdExit(); });
  connect(trainNr_, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (text.size() <= kTrainNrChars) trainNr_->setMaxLength(kTrainNrChars);
  });

  auto picked = [this](QComboBox* box, void (TPassageEditor::*handler)()) {
    connect(box, &QComboBox::activated, this, [this, handler](int) { (this->*handler)(); });
  };
  picked(ed->RygielCb, &TPassageEditor::RygielCbChange);
  picked(ed->RemindCb, &TPassageEditor::RemindCbChange);
  picked(ed->AlarmCb, &TPassageEditor::AlarmCbChange);
  picked(ed->CctvCb, &TPassageEditor::CctvCbChange);
  picked(ed->OutBtnCb, &TPassageEditor::OutBtnCbChange);
  picked(ed->OpenDetectCb, &TPassageEditor::OpenDetectCbChange);
  picked(ed->Alarm0Cb, &TPassageEditor::Alarm0CbChange);
  picked(ed->Alarm1Cb, &TPassageEditor::Alarm1CbChange);
  picked(ed->TypeCb, &TPassageEditor::TypeCbChange);
  picked(ed->SluzaCb, &TPassageEditor::SluzaCbChange);
  QComboBox* readers[4] = {ed->Rd1Cb, ed->Rd2Cb, ed->Rd3Cb, ed->Rd4Cb};
  for (int i = 0; i < 4; ++i)
    connect(readers[i], &QComboBox::activated, this, [this, i](int) { RdCbChange(i); });
  // Typed airlock text counts as a change too; text matching no item leaves the airlock.
  connect(ed->SluzaCb->lineEdit(), &QLineEdit::textEdited, this, [this] { SluzaCbChange(); });

  // Check boxes: the handlers ignore the changes the refresh itself makes.
  auto toggled = [this](QCheckBox* box, void (TPassageEditor::*handler)()) {
    connect(box, &QCheckBox::toggled, this, [this, handler](bool) { (this->*handler)(); });
  };
  toggled(ed->RygielNC, &TPassageEditor::RygielNCClick);
  toggled(ed->RemindNC, &TPassageEditor::RemindNCClick);
  toggled(ed->AlarmNC, &TPassageEditor::AlarmNCClick);
  toggled(ed->CctvNC, &TPassageEditor::CctvNCClick);
  toggled(ed->OutBtnNC, &TPassageEditor::OutBtnNCClick);
  toggled(ed->OpenDetectNC, &TPassageEditor::OpenDetectNCClick);
  toggled(ed->Alarm0NC, &TPassageEditor::Alarm0NCClick);
  toggled(ed->Alarm1NC, &TPassageEditor::Alarm1NCClick);
  toggled(ed->KlamkaCb, &TPassageEditor::KlamkaCbClick);
  toggled(ed->FullTimCb, &TPassageEditor::FullTimCbClick);

  connect(ed->RygTimEd, &QLineEdit::editingFinished, this, [this] { RygTimEdExit(); });
  connect(ed->OpenTimEd, &QLineEdit::editingFinished, this, [this] { OpenTimEdExit(); });
}

int TPassageEditor::SelectedDoor() const {
  int p = tabs_->currentIndex();
  return p >= 0 && p < Cfg().doorCount ? p : -1;
}

void TPassageEditor::BuildTabs() {
  FlagScope guard(Refreshing);
  const CtrlCfg& cfg = Cfg();
  QTabBar* tc = tabs_;
  // Tab i is always captioned i + 1, so only the difference in count is added or removed:
  // every tab change lays the whole bar out again.
  const int want = std::clamp(int(cfg.doorCount), 0, kMaxDoors);
  while (tc->count() > want) tc->removeTab(tc->count() - 1);
  while (tc->count() < want) tc->addTab(QString::number(tc->count() + 1));
  if (tc->count() > 0) tc->setCurrentIndex(0);

  bool train = TrainNumberShown(cfg);
  trainNr_->setVisible(train);
  if (trainLbl_) trainLbl_->setVisible(train);

  ed->SluzaCb->clear();
  for (const std::string& item : AirlockItems(cfg.doorCount))
    ed->SluzaCb->addItem(QString::fromStdString(item));
}

void TPassageEditor::RefreshDoorEditor() {
  FlagScope guard(Refreshing);
  if (Cfg().doorCount <= 0) {
    if (Active()) {
      ClearDoorEditor();
      EnableDoorEditor(false);
    }
    return;
  }
  // A configuration read again after removing or replacing devices may bring another
  // number of passages; tabs beyond it would edit passages that are never written.
  if (tabs_->count() != Cfg().doorCount) BuildTabs();
  if (!Active()) EnableDoorEditor(true);

  const int mode = modeOf ? modeOf() : 0;
  bool testing = ed->TstGrpBox->isEnabledTo(window());
  if (!TestingEnabled(mode) && testing) EnableTesting(false);
  if (TestingEnabled(mode) && !testing) EnableTesting(true);

  int p = SelectedDoor();
  if (p < 0) p = 0;
  const DoorCfg& d = Cfg().doors[p];

  TakeFree(Cfg(), kOutputs, freeRefs_);
  FillOutputList(ed->RygielCb, 0);
  FillOutputList(ed->RemindCb, 1);
  FillSharedOutputList(ed->AlarmCb, 2);
  FillSharedOutputList(ed->CctvCb, 3);
  ShowOutputNC(ed->RygielNC, d.outputs[0]);
  ShowOutputNC(ed->RemindNC, d.outputs[1]);
  ShowOutputNC(ed->AlarmNC, d.outputs[2]);
  ShowOutputNC(ed->CctvNC, d.outputs[3]);

  TakeFree(Cfg(), kInputs, freeRefs_);
  FillOpenSensorList(d.outputs[0]);
  for (int row : {0, 2, 3}) FillInputList(InRows[row].cb, row);
  for (int row = 0; row < 4; ++row) ShowInputNC(InRows[row].nc, d.inputs[row]);

  TakeFree(Cfg(), kReaders, freeRefs_);
  FillReaderList(ed->Rd1Cb, 0);
  FillReaderList(ed->Rd2Cb, 1);
  FillReaderList(ed->Rd3Cb, 2);
  FillReaderList(ed->Rd4Cb, 3);

  ed->SluzaCb->setCurrentIndex(AirlockItemIndex(Cfg(), p));
  ed->KlamkaCb->setChecked(DoorFlag(Cfg(), p, kFlagHandle));
  ed->FullTimCb->setChecked(DoorFlag(Cfg(), p, kFlagFullPulse));
  ed->TypeCb->setCurrentIndex(TypeItemIndex(Cfg(), p));
  ed->RygTimEd->setText(QString::fromStdString(FormatHalfSeconds(d.params[kParBoltPulse])));
  ed->OpenTimEd->setText(QString::fromStdString(FormatHalfSeconds(d.params[kParOpenTime])));
  ShowTrainNumber();
}

void TPassageEditor::ShowTrainNumber() {
  // Up to four characters can be typed; a longer value from the controller is shown whole,
  // and the limit returns as soon as the user's own text fits it again.
  QLineEdit* nr = trainNr_;
  trainShown_ = QString::number(Cfg().trainNumber);
  nr->setMaxLength(std::max(int(kTrainNrChars), int(trainShown_.size())));
  nr->setText(trainShown_);
}

void TPassageEditor::ClearDoorEditor() {
  for (QComboBox* box : {ed->RygielCb, ed->RemindCb, ed->AlarmCb, ed->CctvCb, ed->Rd1Cb, ed->Rd2Cb,
                         ed->Rd3Cb, ed->Rd4Cb})
    RefModel(box)->Clear();
  for (const InRow& row : InRows) {
    RefModel(row.cb)->Clear();
    row.nc->setChecked(false);
  }
  for (QCheckBox* box : {ed->RygielNC, ed->RemindNC, ed->AlarmNC, ed->CctvNC})
    box->setChecked(false);
  ClearTesting();
}

void TPassageEditor::EnableDoorEditor(bool on) {
  for (QWidget* w :
       std::initializer_list<QWidget*>{ed->RygielCb, ed->RygielLb, ed->RemindCb, ed->RemindLb,
                                       ed->AlarmCb, ed->AlarmLb, ed->CctvCb, ed->CctvLb})
    w->setEnabled(on);
  for (const InRow& row : InRows) {
    row.lb->setEnabled(on);
    row.cb->setEnabled(on);
    row.nc->setEnabled(on);
  }
  for (QWidget* w : std::initializer_list<QWidget*>{
           ed->Rd1Cb, ed->Rd2Cb, ed->Rd3Cb, ed->Rd4Cb, ed->Rd1Lb, ed->Rd2Lb, ed->Rd3Lb, ed->Rd4Lb,
           ed->RygielNC, ed->RemindNC, ed->AlarmNC, ed->CctvNC, ed->SluzaCb})
    w->setEnabled(on);
  EnableTesting(on);
  tabs_->setEnabled(on);
  if (onEnable) onEnable(on);
}

void TPassageEditor::EnableTesting(bool on) {
  for (QWidget* w : std::initializer_list<QWidget*>{
           ed->TstGrpBox, ed->KlamkaCb, ed->FullTimCb, ed->TypeCb, ed->TypeLb, ed->RygTimEd,
           ed->RygTimLb, ed->RygTimsLb, ed->OpenTimEd, ed->OpenTimLb, ed->OpenTimsLb})
    w->setEnabled(on);
}

void TPassageEditor::ClearTesting() {
  ed->KlamkaCb->setChecked(false);
  ed->FullTimCb->setChecked(false);
  ed->TypeCb->setCurrentIndex(0);
  ed->RygTimEd->clear();
  ed->OpenTimEd->clear();
}

void TPassageEditor::FillOutputList(QComboBox* box, int slot) {
  int p = SelectedDoor();
  PlainListItems(p < 0 ? kNoRef : Cfg().doors[p].outputs[slot], freeRefs_, listItems_);
  Fill(box, listItems_);
}

void TPassageEditor::FillSharedOutputList(QComboBox* box, int slot) {
  int p = SelectedDoor();
  if (p < 0) {
    PlainListItems(kNoRef, freeRefs_, listItems_);
  } else {
    SharedListItems(Cfg(), p, slot, freeRefs_, listItems_);
  }
  Fill(box, listItems_);
}

void TPassageEditor::FillInputList(QComboBox* box, int slot) {
  int p = SelectedDoor();
  PlainListItems(p < 0 ? kNoRef : Cfg().doors[p].inputs[slot], freeRefs_, listItems_);
  Fill(box, listItems_);
}

void TPassageEditor::FillOpenSensorList(IoRef bolt) {
  int p = SelectedDoor();
  bool usable =
      OpenSensorItems(p < 0 ? kNoRef : Cfg().doors[p].inputs[1], bolt, freeRefs_, listItems_);
  ed->OpenDetectCb->setEnabled(usable);
  Fill(ed->OpenDetectCb, listItems_);
}

void TPassageEditor::FillReaderList(QComboBox* box, int slot) {
  int p = SelectedDoor();
  PlainListItems(p < 0 ? kNoRef : Cfg().doors[p].readers[slot], freeRefs_, listItems_);
  Fill(box, listItems_);
}

void TPassageEditor::ShowOutputNC(QCheckBox* box, IoRef ref) {
  NcState st = OutputNc(Cfg(), ref);
  box->setEnabled(st.enabled);
  box->setChecked(st.checked);
}

void TPassageEditor::ShowInputNC(QCheckBox* box, IoRef ref) {
  NcState st = InputNc(ref);
  box->setEnabled(st.enabled);
  box->setChecked(st.checked);
}

// ---- Handlers ----

void TPassageEditor::DoorTcChange() {
  RefreshDoorEditor();
}

namespace {

template <class F>
void OnDoor(TPassageEditor& w, F&& f) {
  int p = w.SelectedDoor();
  if (p < 0) return;
  f(p);
}

}  // namespace

void TPassageEditor::RygielCbChange() {
  OnDoor(*this, [&](int p) {
    SetOutput(Cfg(), p, 0, SelectedRef(ed->RygielCb), ed->RygielNC->isChecked());
    Edited();
    RefreshDoorEditor();
  });
}

void TPassageEditor::RemindCbChange() {
  OnDoor(*this, [&](int p) {
    SetOutput(Cfg(), p, 1, SelectedRef(ed->RemindCb), ed->RemindNC->isChecked());
    Edited();
    RefreshDoorEditor();
  });
}

void TPassageEditor::AlarmCbChange() {
  OnDoor(*this, [&](int p) {
    SetOutput(Cfg(), p, 2, SelectedRef(ed->AlarmCb), ed->AlarmNC->isChecked());
    Edited();
    RefreshDoorEditor();
  });
}

void TPassageEditor::CctvCbChange() {
  OnDoor(*this, [&](int p) {
    SetOutput(Cfg(), p, 3, SelectedRef(ed->CctvCb), ed->CctvNC->isChecked());
    Edited();
    RefreshDoorEditor();
  });
}

namespace {

void InputChange(TPassageEditor& w, int row) {
  OnDoor(w, [&](int p) {
    SetInput(w.Cfg(), p, row, SelectedRef(w.InRows[row].cb), w.InRows[row].nc->isChecked());
    w.Edited();
    w.RefreshDoorEditor();
  });
}

void OutputNcClick(TPassageEditor& w, QCheckBox* box, int slot) {
  if (w.Refreshing) return;
  OnDoor(w, [&](int p) {
    SetOutputNC(w.Cfg(), p, slot, box->isChecked());
    w.Edited();
  });
}

void InputNcClick(TPassageEditor& w, int row) {
  if (w.Refreshing) return;
  OnDoor(w, [&](int p) {
    SetInputNC(w.Cfg(), p, row, w.InRows[row].nc->isChecked());
    w.Edited();
  });
}

void FlagClick(TPassageEditor& w, QCheckBox* box, uint8_t flag) {
  if (w.Refreshing) return;
  OnDoor(w, [&](int p) {
    SetDoorFlag(w.Cfg(), p, flag, box->isChecked());
    w.Edited();
  });
}

}  // namespace

void TPassageEditor::OutBtnCbChange() {
  InputChange(*this, 0);
}
void TPassageEditor::OpenDetectCbChange() {
  InputChange(*this, 1);
}
void TPassageEditor::Alarm0CbChange() {
  InputChange(*this, 2);
}
void TPassageEditor::Alarm1CbChange() {
  InputChange(*this, 3);
}

void TPassageEditor::RdCbChange(int slot) {
  QComboBox* readers[4] = {ed->Rd1Cb, ed->Rd2Cb, ed->Rd3Cb, ed->Rd4Cb};
  if (slot < 0 || slot > 3) return;
  OnDoor(*this, [&](int p) {
    SetReader(Cfg(), p, slot, SelectedRef(readers[slot]));
    Edited();
    RefreshDoorEditor();
  });
}

void TPassageEditor::RygielNCClick() {
  OutputNcClick(*this, ed->RygielNC, 0);
}
void TPassageEditor::RemindNCClick() {
  OutputNcClick(*this, ed->RemindNC, 1);
}
void TPassageEditor::AlarmNCClick() {
  OutputNcClick(*this, ed->AlarmNC, 2);
}
void TPassageEditor::CctvNCClick() {
  OutputNcClick(*this, ed->CctvNC, 3);
}
void TPassageEditor::OutBtnNCClick() {
  InputNcClick(*this, 0);
}
void TPassageEditor::OpenDetectNCClick() {
  InputNcClick(*this, 1);
}
void TPassageEditor::Alarm0NCClick() {
  InputNcClick(*this, 2);
}
void TPassageEditor::Alarm1NCClick() {
  InputNcClick(*this, 3);
}
void TPassageEditor::KlamkaCbClick() {
  FlagClick(*this, ed->KlamkaCb, kFlagHandle);
}
void TPassageEditor::FullTimCbClick() {
  FlagClick(*this, ed->FullTimCb, kFlagFullPulse);
}

void TPassageEditor::TypeCbChange() {
  if (Refreshing) return;
  int index = ed->TypeCb->currentIndex();
  if (index < 0) return;
  OnDoor(*this, [&](int p) {
    SetDoorType(Cfg(), p, index);
    Edited();
  });
}

void TPassageEditor::SluzaCbChange() {
  // The item whose text is shown, -1 when the typed text matches none.
  int index = ed->SluzaCb->findText(ed->SluzaCb->currentText());
  OnDoor(*this, [&](int p) {
    SetAirlock(Cfg(), p, index - 1);
    Edited();
  });
}

namespace {

// An edit also loses the focus when the refresh disables it; the typed value is kept then,
// and the refresh under way shows it, instead of starting a second refresh inside the first.
void TimeExit(TPassageEditor& w, QLineEdit* edit, int param) {
  OnDoor(w, [&](int p) {
    w.Cfg().doors[p].params[param] = uint8_t(ParseHalfSeconds(edit->text().toStdString()));
    w.Edited();
    if (!w.Refreshing) w.RefreshDoorEditor();
  });
}

}  // namespace

void TPassageEditor::RygTimEdExit() {
  TimeExit(*this, ed->RygTimEd, kParBoltPulse);
}
void TPassageEditor::OpenTimEdExit() {
  TimeExit(*this, ed->OpenTimEd, kParOpenTime);
}

void TPassageEditor::TrainNrEdExit() {
  // Leaving the field without changing what it shows stores nothing: a controller's value
  // above 9999 is shown as it is and must not be cut down by merely passing through.
  if (trainNr_->text() == trainShown_) return;
  Cfg().trainNumber = uint16_t(ParseTrainNumber(trainNr_->text().toStdString()));
  Edited();
  if (!Refreshing) RefreshDoorEditor();
}
