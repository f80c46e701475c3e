// Help window: the built-in user guide, one page per group of the main window.
#include "helpwin.h"

#include <QFile>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

int LoadedPage = -1;

namespace {

struct HelpPage {
  const char* caption;
  const char* resource;
};

constexpr HelpPage kPages[3] = {
    {"Okno Ethernet", ":/help/ethernet.html"},
    {"Okno kontrolera", ":/help/kontroler.html"},
    {"Okno Przejścia", ":/help/przejscia.html"},
};

// Heading tags scale the view's own font (8 pt here) instead of keeping the sizes the pages
// give them; drop that scaling so headings come out at their stated point sizes.
void KeepOwnHeadingSizes(QTextDocument* doc) {
  QTextCursor edit(doc);
  edit.beginEditBlock();
  for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
    if (b.blockFormat().headingLevel() == 0) continue;
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      const QTextFragment frag = it.fragment();
      QTextCharFormat f = frag.charFormat();
      if (!f.hasProperty(QTextFormat::FontSizeAdjustment)) continue;
      f.clearProperty(QTextFormat::FontSizeAdjustment);
      edit.setPosition(frag.position());
      edit.setPosition(frag.position() + frag.length(), QTextCursor::KeepAnchor);
      edit.setCharFormat(f);
    }
    QTextCharFormat bf = b.charFormat();
    if (bf.hasProperty(QTextFormat::FontSizeAdjustment)) {
      bf.clearProperty(QTextFormat::FontSizeAdjustment);
      edit.setPosition(b.position());
      edit.setBlockCharFormat(bf);
    }
  }
  edit.endEditBlock();
}

}  // namespace

// The pages live in a static library; this pulls their resource object into the program.
// It must stay outside any namespace, where the resource's initialiser is declared.
static void InitHelpResources() {
  Q_INIT_RESOURCE(help);
}

THelpWin::THelpWin(QWidget* parent) : QDialog(parent), HelpEdit(new QTextBrowser(this)) {
  InitHelpResources();
  setObjectName("HelpWin");
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  setSizeGripEnabled(true);
  setFont(QFont("Tahoma", 8));
  resize(862, 639);

  HelpEdit->setObjectName("HelpEdit");
  HelpEdit->setFont(QFont("Tahoma", 8));
  HelpEdit->setReadOnly(true);
  HelpEdit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  HelpEdit->setOpenLinks(false);
  HelpEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  HelpEdit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  HelpEdit->setLineWrapMode(QTextEdit::WidgetWidth);
  HelpEdit->setAccessibleName(QStringLiteral("Pomoc"));

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(3, 3, 3, 3);
  layout->addWidget(HelpEdit);
}

void THelpWin::ShowPage(int page) {
  if (page == LoadedPage) return;  // keep the view exactly as the user left it
  if (page < 0 || page >= 3) return;
  LoadedPage = page;
  setWindowTitle(QString::fromUtf8(kPages[page].caption));
  HelpEdit->setAccessibleName(QStringLiteral("Pomoc: ") + QString::fromUtf8(kPages[page].caption));

  QFile file(kPages[page].resource);
  const QString html =
      file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
  HelpEdit->clear();
  HelpEdit->setHtml(html);
  KeepOwnHeadingSizes(HelpEdit->document());
  HelpEdit->moveCursor(QTextCursor::Start);
  HelpEdit->verticalScrollBar()->setValue(0);
}
