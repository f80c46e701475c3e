// Passage editor: the controls inside the passage tabs, rebuilt from the model after every
// change so that each list offers only what may be chosen.
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

#include "editor_model.h"
#include "mainwin.h"
#include "reflistmodel.h"
#include "ui_dooreditor.h"
#include "ui_mainwin.h"

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

void TMainWin::ConnectDoorEditor() {
  for (QComboBox* box : {ed->RygielCb, ed->RemindCb, ed->AlarmCb, ed->CctvCb})
    InstallModel(box, Cfg, "Out");
  for (const InRow& row : InRows) InstallModel(row.cb, Cfg, "In");
  for (QComboBox* box : {ed->Rd1Cb, ed->Rd2Cb, ed->Rd3Cb, ed->Rd4Cb}) InstallModel(box, Cfg, "Rd");
  // The popups open wide enough for the longest reference text without measuring the items.
  const int popupWidth = ed->RygielCb->fontMetrics().horizontalAdvance("W00_00000:Out15") + 32;
  for (QComboBox* box : ed->RygielCb->window()->findChildren<QComboBox*>())
    if (qobject_cast<TRefListModel*>(box->model())) {
      box->view()->setMinimumWidth(popupWidth);
      // All entries are one line of the same font: the view need not measure each.
      if (auto* list = qobject_cast<QListView*>(box->view())) list->setUniformItemSizes(true);
    }

  // Removing and adding tabs while the tabs are rebuilt raises the same signal as the user.
  connect(ui->DoorTc, &QTabBar::currentChanged, this, [this](int) {
    if (!Refreshing) DoorTcChange();
  });
  // A click on a tab takes the focus, so an edit being left stores its value for the
  // passage it belongs to before the tab changes.
  ui->DoorTc->setFocusPolicy(Qt::StrongFocus);
  connect(ui->TrainNrEd, &QLineEdit::editingFinished, this, [this] { TrainNrEdExit(); });
  connect(ui->TrainNrEd, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (text.size() <= kTrainNrChars) ui->TrainNrEd->setMaxLength(kTrainNrChars);
  });

  auto picked = [this](QComboBox* box, void (TMainWin::*handler)()) {
    connect(box, &QComboBox::activated, this, [this, handler](int) { (this->*handler)(); });
  };
  picked(ed->RygielCb, &TMainWin::RygielCbChange);
  picked(ed->RemindCb, &TMainWin::RemindCbChange);
  picked(ed->AlarmCb, &TMainWin::AlarmCbChange);
  picked(ed->CctvCb, &TMainWin::CctvCbChange);
  picked(ed->OutBtnCb, &TMainWin::OutBtnCbChange);
  picked(ed->OpenDetectCb, &TMainWin::OpenDetectCbChange);
  picked(ed->Alarm0Cb, &TMainWin::Alarm0CbChange);
  picked(ed->Alarm1Cb, &TMainWin::Alarm1CbChange);
  picked(ed->TypeCb, &TMainWin::TypeCbChange);
  picked(ed->SluzaCb, &TMainWin::SluzaCbChange);
  QComboBox* readers[4] = {ed->Rd1Cb, ed->Rd2Cb, ed->Rd3Cb, ed->Rd4Cb};
  for (int i = 0; i < 4; ++i)
    connect(readers[i], &QComboBox::activated, this, [this, i](int) { RdCbChange(i); });
  // Typed airlock text counts as a change too; text matching no item leaves the airlock.
  connect(ed->SluzaCb->lineEdit(), &QLineEdit::textEdited, this, [this] { SluzaCbChange(); });

  // Check boxes: the handlers ignore the changes the refresh itself makes.
  auto toggled = [this](QCheckBox* box, void (TMainWin::*handler)()) {
    connect(box, &QCheckBox::toggled, this, [this, handler](bool) { (this->*handler)(); });
  };
  toggled(ed->RygielNC, &TMainWin::RygielNCClick);
  toggled(ed->RemindNC, &TMainWin::RemindNCClick);
  toggled(ed->AlarmNC, &TMainWin::AlarmNCClick);
  toggled(ed->CctvNC, &TMainWin::CctvNCClick);
  toggled(ed->OutBtnNC, &TMainWin::OutBtnNCClick);
  toggled(ed->OpenDetectNC, &TMainWin::OpenDetectNCClick);
  toggled(ed->Alarm0NC, &TMainWin::Alarm0NCClick);
  toggled(ed->Alarm1NC, &TMainWin::Alarm1NCClick);
  toggled(ed->KlamkaCb, &TMainWin::KlamkaCbClick);
  toggled(ed->FullTimCb, &TMainWin::FullTimCbClick);

  connect(ed->RygTimEd, &QLineEdit::editingFinished, this, [this] { RygTimEdExit(); });
  connect(ed->OpenTimEd, &QLineEdit::editingFinished, this, [this] { OpenTimEdExit(); });
}

int TMainWin::SelectedDoor() const {
  int p = ui->DoorTc->currentIndex();
  return p >= 0 && p < Cfg.doorCount ? p : -1;
}

namespace {

// Tabs, train-number visibility and airlock list of the model's passages.
void BuildTabs(Ui::TMainWin& ui, Ui::TDoorEditor& ed, const CtrlCfg& cfg) {
  QTabBar* tc = ui.DoorTc;
  // Tab i is always captioned i + 1, so only the difference in count is added or removed:
  // every tab change lays the whole bar out again.
  const int want = std::clamp(int(cfg.doorCount), 0, kMaxDoors);
  while (tc->count() > want) tc->removeTab(tc->count() - 1);
  while (tc->count() < want) tc->addTab(QString::number(tc->count() + 1));
  if (tc->count() > 0) tc->setCurrentIndex(0);

  bool train = TrainNumberShown(cfg);
  ui.TrainNrEd->setVisible(train);
  ui.TrainNrLbl->setVisible(train);

  ed.SluzaCb->clear();
  for (const std::string& item : AirlockItems(cfg.doorCount))
    ed.SluzaCb->addItem(QString::fromStdString(item));
}

}  // namespace

void TMainWin::RebuildDoorTabs() {
  {
    FlagScope guard(Refreshing);
    BuildTabs(*ui, *ed, Cfg);
  }
  RefreshDevList();  // ends with RefreshDoorEditor
}

void TMainWin::RefreshDoorEditor() {
  FlagScope guard(Refreshing);
  if (Cfg.doorCount <= 0) {
    if (ui->DoorTc->isEnabledTo(this)) {
      ClearDoorEditor();
      EnableDoorEditor(false);
    }
    return;
  }
  // A configuration read again after removing or replacing devices may bring another
  // number of passages; tabs beyond it would edit passages that are never written.
  if (ui->DoorTc->count() != Cfg.doorCount) BuildTabs(*ui, *ed, Cfg);
  if (!ui->DoorTc->isEnabledTo(this)) EnableDoorEditor(true);

  const SelectedView sel = Selected();
  const int mode = sel.index >= 0 ? sel.mode : 0;
  bool testing = ed->TstGrpBox->isEnabledTo(this);
  if (!TestingEnabled(mode) && testing) EnableTesting(false);
  if (TestingEnabled(mode) && !testing) EnableTesting(true);

  int p = SelectedDoor();
  if (p < 0) p = 0;
  const DoorCfg& d = Cfg.doors[p];

  TakeFree(Cfg, kOutputs, freeRefs_);
  FillOutputList(ed->RygielCb, 0);
  FillOutputList(ed->RemindCb, 1);
  FillSharedOutputList(ed->AlarmCb, 2);
  FillSharedOutputList(ed->CctvCb, 3);
  ShowOutputNC(ed->RygielNC, d.outputs[0]);
  ShowOutputNC(ed->RemindNC, d.outputs[1]);
  ShowOutputNC(ed->AlarmNC, d.outputs[2]);
  ShowOutputNC(ed->CctvNC, d.outputs[3]);

  TakeFree(Cfg, kInputs, freeRefs_);
  FillOpenSensorList(d.outputs[0]);
  for (int row : {0, 2, 3}) FillInputList(InRows[row].cb, row);
  for (int row = 0; row < 4; ++row) ShowInputNC(InRows[row].nc, d.inputs[row]);

  TakeFree(Cfg, kReaders, freeRefs_);
  FillReaderList(ed->Rd1Cb, 0);
  FillReaderList(ed->Rd2Cb, 1);
  FillReaderList(ed->Rd3Cb, 2);
  FillReaderList(ed->Rd4Cb, 3);

  ed->SluzaCb->setCurrentIndex(AirlockItemIndex(Cfg, p));
  ed->KlamkaCb->setChecked(DoorFlag(Cfg, p, kFlagHandle));
  ed->FullTimCb->setChecked(DoorFlag(Cfg, p, kFlagFullPulse));
  ed->TypeCb->setCurrentIndex(TypeItemIndex(Cfg, p));
  ed->RygTimEd->setText(QString::fromStdString(FormatHalfSeconds(d.params[kParBoltPulse])));
  ed->OpenTimEd->setText(QString::fromStdString(FormatHalfSeconds(d.params[kParOpenTime])));
  ShowTrainNumber();
}

void TMainWin::ShowTrainNumber() {
  // Up to four characters can be typed; a longer value from the controller is shown whole,
  // and the limit returns as soon as the user's own text fits it again.
  QLineEdit* nr = ui->TrainNrEd;
  trainShown_ = QString::number(Cfg.trainNumber);
  nr->setMaxLength(std::max(int(kTrainNrChars), int(trainShown_.size())));
  nr->setText(trainShown_);
}

void TMainWin::ClearDoorEditor() {
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

void TMainWin::EnableDoorEditor(bool on) {
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
  ui->DoorTc->setEnabled(on);
  ui->WrCfgBtn->setEnabled(on);
  ui->RapCfgBtn->setEnabled(on);
}

void TMainWin::EnableTesting(bool on) {
  for (QWidget* w : std::initializer_list<QWidget*>{
           ed->TstGrpBox, ed->KlamkaCb, ed->FullTimCb, ed->TypeCb, ed->TypeLb, ed->RygTimEd,
           ed->RygTimLb, ed->RygTimsLb, ed->OpenTimEd, ed->OpenTimLb, ed->OpenTimsLb})
    w->setEnabled(on);
}

void TMainWin::ClearTesting() {
  ed->KlamkaCb->setChecked(false);
  ed->FullTimCb->setChecked(false);
  ed->TypeCb->setCurrentIndex(0);
  ed->RygTimEd->clear();
  ed->OpenTimEd->clear();
}

void TMainWin::FillOutputList(QComboBox* box, int slot) {
  int p = SelectedDoor();
  PlainListItems(p < 0 ? kNoRef : Cfg.doors[p].outputs[slot], freeRefs_, listItems_);
  Fill(box, listItems_);
}

void TMainWin::FillSharedOutputList(QComboBox* box, int slot) {
  int p = SelectedDoor();
  if (p < 0) {
    PlainListItems(kNoRef, freeRefs_, listItems_);
  } else {
    SharedListItems(Cfg, p, slot, freeRefs_, listItems_);
  }
  Fill(box, listItems_);
}

void TMainWin::FillInputList(QComboBox* box, int slot) {
  int p = SelectedDoor();
  PlainListItems(p < 0 ? kNoRef : Cfg.doors[p].inputs[slot], freeRefs_, listItems_);
  Fill(box, listItems_);
}

void TMainWin::FillOpenSensorList(IoRef bolt) {
  int p = SelectedDoor();
  bool usable =
      OpenSensorItems(p < 0 ? kNoRef : Cfg.doors[p].inputs[1], bolt, freeRefs_, listItems_);
  ed->OpenDetectCb->setEnabled(usable);
  Fill(ed->OpenDetectCb, listItems_);
}

void TMainWin::FillReaderList(QComboBox* box, int slot) {
  int p = SelectedDoor();
  PlainListItems(p < 0 ? kNoRef : Cfg.doors[p].readers[slot], freeRefs_, listItems_);
  Fill(box, listItems_);
}

void TMainWin::ShowOutputNC(QCheckBox* box, IoRef ref) {
  NcState st = OutputNc(Cfg, ref);
  box->setEnabled(st.enabled);
  box->setChecked(st.checked);
}

void TMainWin::ShowInputNC(QCheckBox* box, IoRef ref) {
  NcState st = InputNc(ref);
  box->setEnabled(st.enabled);
  box->setChecked(st.checked);
}

// ---- Handlers ----

void TMainWin::DoorTcChange() {
  RefreshDoorEditor();
}

namespace {

template <class F>
void OnDoor(TMainWin& w, F&& f) {
  int p = w.SelectedDoor();
  if (p < 0) return;
  f(p);
}

}  // namespace

void TMainWin::RygielCbChange() {
  OnDoor(*this, [&](int p) {
    SetOutput(Cfg, p, 0, SelectedRef(ed->RygielCb), ed->RygielNC->isChecked());
    RefreshDoorEditor();
  });
}

void TMainWin::RemindCbChange() {
  OnDoor(*this, [&](int p) {
    SetOutput(Cfg, p, 1, SelectedRef(ed->RemindCb), ed->RemindNC->isChecked());
    RefreshDoorEditor();
  });
}

void TMainWin::AlarmCbChange() {
  OnDoor(*this, [&](int p) {
    SetOutput(Cfg, p, 2, SelectedRef(ed->AlarmCb), ed->AlarmNC->isChecked());
    RefreshDoorEditor();
  });
}

void TMainWin::CctvCbChange() {
  OnDoor(*this, [&](int p) {
    SetOutput(Cfg, p, 3, SelectedRef(ed->CctvCb), ed->CctvNC->isChecked());
    RefreshDoorEditor();
  });
}

namespace {

void InputChange(TMainWin& w, int row) {
  OnDoor(w, [&](int p) {
    SetInput(w.Cfg, p, row, SelectedRef(w.InRows[row].cb), w.InRows[row].nc->isChecked());
    w.RefreshDoorEditor();
  });
}

void OutputNcClick(TMainWin& w, QCheckBox* box, int slot) {
  if (w.Refreshing) return;
  OnDoor(w, [&](int p) { SetOutputNC(w.Cfg, p, slot, box->isChecked()); });
}

void InputNcClick(TMainWin& w, int row) {
  if (w.Refreshing) return;
  OnDoor(w, [&](int p) { SetInputNC(w.Cfg, p, row, w.InRows[row].nc->isChecked()); });
}

void FlagClick(TMainWin& w, QCheckBox* box, uint8_t flag) {
  if (w.Refreshing) return;
  OnDoor(w, [&](int p) { SetDoorFlag(w.Cfg, p, flag, box->isChecked()); });
}

}  // namespace

void TMainWin::OutBtnCbChange() {
  InputChange(*this, 0);
}
void TMainWin::OpenDetectCbChange() {
  InputChange(*this, 1);
}
void TMainWin::Alarm0CbChange() {
  InputChange(*this, 2);
}
void TMainWin::Alarm1CbChange() {
  InputChange(*this, 3);
}

void TMainWin::RdCbChange(int slot) {
  QComboBox* readers[4] = {ed->Rd1Cb, ed->Rd2Cb, ed->Rd3Cb, ed->Rd4Cb};
  if (slot < 0 || slot > 3) return;
  OnDoor(*this, [&](int p) {
    SetReader(Cfg, p, slot, SelectedRef(readers[slot]));
    RefreshDoorEditor();
  });
}

void TMainWin::RygielNCClick() {
  OutputNcClick(*this, ed->RygielNC, 0);
}
void TMainWin::RemindNCClick() {
  OutputNcClick(*this, ed->RemindNC, 1);
}
void TMainWin::AlarmNCClick() {
  OutputNcClick(*this, ed->AlarmNC, 2);
}
void TMainWin::CctvNCClick() {
  OutputNcClick(*this, ed->CctvNC, 3);
}
void TMainWin::OutBtnNCClick() {
  InputNcClick(*this, 0);
}
void TMainWin::OpenDetectNCClick() {
  InputNcClick(*this, 1);
}
void TMainWin::Alarm0NCClick() {
  InputNcClick(*this, 2);
}
void TMainWin::Alarm1NCClick() {
  InputNcClick(*this, 3);
}
void TMainWin::KlamkaCbClick() {
  FlagClick(*this, ed->KlamkaCb, kFlagHandle);
}
void TMainWin::FullTimCbClick() {
  FlagClick(*this, ed->FullTimCb, kFlagFullPulse);
}

void TMainWin::TypeCbChange() {
  if (Refreshing) return;
  int index = ed->TypeCb->currentIndex();
  if (index < 0) return;
  OnDoor(*this, [&](int p) { SetDoorType(Cfg, p, index); });
}

void TMainWin::SluzaCbChange() {
  // The item whose text is shown, -1 when the typed text matches none.
  int index = ed->SluzaCb->findText(ed->SluzaCb->currentText());
  OnDoor(*this, [&](int p) { SetAirlock(Cfg, p, index - 1); });
}

namespace {

// An edit also loses the focus when the refresh disables it; the typed value is kept then,
// and the refresh under way shows it, instead of starting a second refresh inside the first.
void TimeExit(TMainWin& w, QLineEdit* edit, int param) {
  OnDoor(w, [&](int p) {
    w.Cfg.doors[p].params[param] = uint8_t(ParseHalfSeconds(edit->text().toStdString()));
    if (!w.Refreshing) w.RefreshDoorEditor();
  });
}

}  // namespace

void TMainWin::RygTimEdExit() {
  TimeExit(*this, ed->RygTimEd, kParBoltPulse);
}
void TMainWin::OpenTimEdExit() {
  TimeExit(*this, ed->OpenTimEd, kParOpenTime);
}

void TMainWin::TrainNrEdExit() {
  // Leaving the field without changing what it shows stores nothing: a controller's value
  // above 9999 is shown as it is and must not be cut down by merely passing through.
  if (ui->TrainNrEd->text() == trainShown_) return;
  Cfg.trainNumber = uint16_t(ParseTrainNumber(ui->TrainNrEd->text().toStdString()));
  if (!Refreshing) RefreshDoorEditor();
}
