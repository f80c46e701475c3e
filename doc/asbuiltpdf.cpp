// As-built documentation on A4 pages through QPdfWriter and QPainter. The layout runs once
// and records what goes on each page; the pages are then painted from that record, when the
// table of contents and "strona X z Y" know their numbers.
#include "doc/asbuiltpdf.h"

#include <QBuffer>
#include <QByteArray>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <vector>

#include "config/atomicfile.h"
#include "config/report.h"

namespace {

QString Q(const std::string& s) {
  return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

// Device units: the writer runs at 720 dpi, so one point is ten units.
constexpr int kDpi = 720;
constexpr double kPt = kDpi / 72.0;
constexpr double kSide = 50 * kPt;    // left and right margins
constexpr double kTop = 62 * kPt;     // first line below the running header
constexpr double kBottom = 60 * kPt;  // the footer's room
constexpr double kPad = 2.2 * kPt;    // above and below the text of a table row

struct Fonts {
  QFont body, small, bold, head, h1, title, subtitle;
};

QFont MakeFont(const QString& family, double pt, bool bold) {
  QFont f(family);
  f.setPointSizeF(pt);
  f.setBold(bold);
  f.setKerning(false);
  f.setHintingPreference(QFont::PreferNoHinting);
  // No ligatures: "fi" stays two letters, so copied and searched text is the text written.
  f.setStyleStrategy(QFont::PreferNoShaping);
  return f;
}

// The family name of the bundled file, or of an installed DejaVu Sans; empty when neither.
QString LoadFamily(const std::string& file) {
  const int id = QFontDatabase::addApplicationFont(Q(file));
  if (id >= 0) {
    const QStringList fam = QFontDatabase::applicationFontFamilies(id);
    if (!fam.isEmpty()) return fam.front();
  }
  return QFontDatabase::families().contains("DejaVu Sans") ? QString("DejaVu Sans") : QString();
}

struct Col {
  double width;  // points
  bool right = false;
};

// One thing to paint on a page, recorded by the layout.
struct Op {
  enum Kind { kText, kRightText, kLine, kFill, kPageNo, kTocNo } kind = kText;
  const QFont* font = nullptr;
  double x = 0, y = 0, x2 = 0, y2 = 0;  // kText: start, baseline; kRightText: right edge
  QString text;
  int index = 0;  // kTocNo: the controller
  QColor color = Qt::black;
  double pen = 0;
  Qt::PenStyle style = Qt::SolidLine;
};

class Layout {
 public:
  Layout(QPdfWriter& writer, const Fonts& fonts, const AsBuiltDoc& doc)
      : w_(writer), f_(fonts), doc_(doc) {
    width_ = writer.width();
    height_ = writer.height();
    for (const QFont* f :
         {&f_.body, &f_.small, &f_.bold, &f_.head, &f_.h1, &f_.title, &f_.subtitle})
      fm_.emplace_back(f, QFontMetricsF(*f, &writer));
    starts_.assign(doc_.controllers.size(), 0);
    Cover();
    Contents();
    for (size_t i = 0; i < doc_.controllers.size(); ++i) Controller(i);
  }

  int Pages() const { return int(pages_.size()); }

  // Paints the recorded pages; the writer starts a new page before every page but the first.
  void Paint(QPainter& p) const {
    const int total = Pages();
    // Setting the same font again still costs a font lookup: only when it changes.
    const QFont* current = nullptr;
    auto font = [&](const QFont* f) {
      if (f != current) p.setFont(*f);
      current = f;
    };
    for (size_t n = 0; n < pages_.size(); ++n) {
      if (n > 0) w_.newPage();
      for (const Op& op : pages_[n]) {
        switch (op.kind) {
          case Op::kText:
            font(op.font);
            p.drawText(QPointF(op.x, op.y), op.text);
            break;
          case Op::kRightText:
            font(op.font);
            p.drawText(QPointF(op.x - Fm(*op.font).horizontalAdvance(op.text), op.y), op.text);
            break;
          case Op::kPageNo: {
            const QString t = QString("strona %1 z %2").arg(n + 1).arg(total);
            font(op.font);
            p.drawText(QPointF(op.x - Fm(*op.font).horizontalAdvance(t), op.y), t);
            break;
          }
          case Op::kTocNo: {
            // A dotted leader from the entry's text to its page number, right-aligned.
            const QString t = QString::number(starts_[size_t(op.index)]);
            const double left = op.x2 - Fm(*op.font).horizontalAdvance(t);
            p.setPen(QPen(QColor(150, 150, 150), 0.8 * kPt, Qt::DotLine));
            if (left - 6 * kPt > op.x)
              p.drawLine(QPointF(op.x, op.y), QPointF(left - 6 * kPt, op.y));
            p.setPen(Qt::black);
            font(op.font);
            p.drawText(QPointF(left, op.y), t);
            break;
          }
          case Op::kLine:
            p.setPen(QPen(op.color, op.pen, op.style));
            p.drawLine(QPointF(op.x, op.y), QPointF(op.x2, op.y2));
            p.setPen(Qt::black);
            break;
          case Op::kFill:
            p.fillRect(QRectF(QPointF(op.x, op.y), QPointF(op.x2, op.y2)), op.color);
            break;
        }
      }
    }
  }

 private:
  const QFontMetricsF& Fm(const QFont& f) const {
    for (const auto& [font, fm] : fm_)
      if (font == &f) return fm;
    return fm_.front().second;
  }
  double LineH(const QFont& f) const { return Fm(f).lineSpacing(); }
  double Right() const { return width_ - kSide; }
  double Limit() const { return height_ - kBottom; }

  void Add(Op op) { pages_.back().push_back(std::move(op)); }
  void AddLine(double x, double y, double x2, double y2, QColor c, double pen) {
    Op op;
    op.kind = Op::kLine;
    op.x = x, op.y = y, op.x2 = x2, op.y2 = y2, op.color = c, op.pen = pen;
    Add(op);
  }

  void NewPage(const std::string& section) {
    pages_.emplace_back();
    section_ = section;
    y_ = Pages() == 1 ? 90 * kPt : kTop;
    Furniture();
  }
  void Need(double h) {
    if (y_ + h > Limit()) NewPage(section_);
  }

  // Header (site, controller) on every page but the cover; footer (date, "strona X z Y").
  void Furniture() {
    const QFontMetricsF& fm = Fm(f_.small);
    const QColor grey(90, 90, 90);
    if (Pages() > 1) {
      const double base = 34 * kPt;
      const std::string site =
          doc_.site.name.empty() ? "Dokumentacja powykonawcza" : doc_.site.name;
      Draw(f_.small, kSide, base, Q(site));
      Add({Op::kRightText, &f_.small, Right(), base, 0, 0, Q(section_)});
      const double rule = base + fm.descent() + 2 * kPt;
      AddLine(kSide, rule, Right(), rule, grey, 0.6 * kPt);
    }
    const double base = height_ - 30 * kPt;
    const double rule = base - fm.ascent() - 3 * kPt;
    AddLine(kSide, rule, Right(), rule, grey, 0.6 * kPt);
    Draw(f_.small, kSide, base, Q(doc_.site.date));
    Add({Op::kPageNo, &f_.small, Right(), base, 0, 0, {}});
  }

  void Draw(const QFont& f, double x, double baseline, const QString& s) {
    Add({Op::kText, &f, x, baseline, 0, 0, s});
  }

  // One line of text at the current position; the position moves down.
  void Line(const QFont& f, double x, const QString& s) {
    const QFontMetricsF& fm = Fm(f);
    Need(fm.lineSpacing());
    Draw(f, x, y_ + fm.ascent(), s);
    y_ += fm.lineSpacing();
  }

  // Greedy word wrap to width; a word longer than the width stands alone on its line.
  QStringList Wrap(const QFont& f, const QString& s, double width) const {
    const QFontMetricsF& fm = Fm(f);
    if (fm.horizontalAdvance(s) <= width) return {s};
    QStringList lines;
    QString cur;
    for (const QString& word : s.split(' ')) {
      const QString next = cur.isEmpty() ? word : cur + ' ' + word;
      if (!cur.isEmpty() && fm.horizontalAdvance(next) > width) {
        lines << cur;
        cur = word;
      } else {
        cur = next;
      }
    }
    lines << cur;
    return lines;
  }

  void Wrapped(const QFont& f, double x, const QString& s, double indent = 0) {
    const QStringList lines = Wrap(f, s, Right() - x);
    for (int i = 0; i < lines.size(); ++i) Line(f, i ? x + indent : x, lines[i]);
  }

  void Heading(const QFont& f, const std::string& s, double room) {
    Need(LineH(f) * 1.6 + room);
    y_ += LineH(f) * 0.5;
    Line(f, kSide, Q(s));
    y_ += LineH(f) * 0.1;
  }

  void KeyValue(const std::string& key, const std::string& value, double keyWidth) {
    const QFontMetricsF& fm = Fm(f_.body);
    const QStringList lines = Wrap(f_.body, Q(value), Right() - kSide - keyWidth);
    Need(fm.lineSpacing() * lines.size());
    Draw(f_.bold, kSide, y_ + fm.ascent(), Q(key));
    for (const QString& l : lines) Line(f_.body, kSide + keyWidth, l);
  }

  // A table row: a light band for the header row, a rule below every row.
  void Row(const std::vector<Col>& cols, const std::vector<QString>& cells, bool header) {
    const QFont& f = header ? f_.bold : f_.body;
    const QFontMetricsF& fm = Fm(f);
    const double h = fm.height() + 2 * kPad;
    if (header) {
      Op band;
      band.kind = Op::kFill;
      band.x = kSide, band.y = y_, band.x2 = Right(), band.y2 = y_ + h;
      band.color = QColor(225, 230, 236);
      Add(band);
    }
    AddLine(kSide, y_ + h, Right(), y_ + h, QColor(170, 170, 170), 0.4 * kPt);
    double x = kSide;
    for (size_t i = 0; i < cols.size() && i < cells.size(); ++i) {
      const double cw = cols[i].width * kPt;
      const QString s = fm.elidedText(cells[i], Qt::ElideRight, cw - 4 * kPt);
      const double tx = cols[i].right ? x + cw - 3 * kPt - fm.horizontalAdvance(s) : x + 3 * kPt;
      Draw(f, tx, y_ + kPad + fm.ascent(), s);
      x += cw;
    }
    y_ += h;
  }
  double RowH(bool header) const { return Fm(header ? f_.bold : f_.body).height() + 2 * kPad; }

  // Rows that may run over pages; the header row is repeated on each new page.
  void Table(const std::vector<Col>& cols, const std::vector<QString>& head,
             const std::vector<std::vector<QString>>& rows) {
    Need(RowH(true) + RowH(false) * std::min<size_t>(rows.size(), 2));
    Row(cols, head, true);
    for (const auto& r : rows) {
      if (y_ + RowH(false) > Limit()) {
        NewPage(section_);
        Row(cols, head, true);
      }
      Row(cols, r, false);
    }
  }

  void Cover() {
    NewPage("");
    Line(f_.title, kSide, "Dokumentacja powykonawcza");
    Line(f_.subtitle, kSide, "System kontroli dostępu Quorinnet");
    y_ += 30 * kPt;
    const DocCounts n = CountDoc(doc_);
    const double kw = 150 * kPt;
    const DocSite& s = doc_.site;
    KeyValue("Obiekt:", s.name.empty() ? "—" : s.name, kw);
    KeyValue("Adres:", s.address.empty() ? "—" : s.address, kw);
    KeyValue("Instalator:", s.installer.empty() ? "—" : s.installer, kw);
    KeyValue("Data:", s.date, kw);
    KeyValue("Wersja narzędzia:", s.tool, kw);
    y_ += 12 * kPt;
    std::string ctrls = std::to_string(n.controllers);
    if (n.missing) ctrls += " (nieodczytane: " + std::to_string(n.missing) + ")";
    KeyValue("Kontrolery:", ctrls, kw);
    KeyValue("Przejścia:", std::to_string(n.passages), kw);
    KeyValue("Urządzenia magistrali:", std::to_string(n.devices), kw);
    if (n.missing) {
      Heading(f_.head, "Kontrolery nieodczytane", LineH(f_.body));
      for (const DocController& c : doc_.controllers) {
        if (!c.missing) continue;
        std::string who = c.name;
        if (!c.ident.address.empty()) who += " (" + c.ident.address + ")";
        Wrapped(f_.body, kSide, Q(who + ": " + c.reason), 12 * kPt);
      }
    }
  }

  void Contents() {
    NewPage("Spis treści");
    Line(f_.h1, kSide, "Spis treści");
    y_ += 8 * kPt;
    const QFontMetricsF& fm = Fm(f_.body);
    const double numW = 40 * kPt;
    for (size_t i = 0; i < doc_.controllers.size(); ++i) {
      const DocController& c = doc_.controllers[i];
      std::string entry = c.name;
      if (!c.ident.label.empty()) entry += "  " + c.ident.label;
      if (c.missing) entry += "  (nie odczytano)";
      Need(fm.lineSpacing());
      const QString text = fm.elidedText(Q(entry), Qt::ElideRight, Right() - kSide - numW);
      const double base = y_ + fm.ascent();
      Draw(f_.body, kSide, base, text);
      Op no;
      no.kind = Op::kTocNo;
      no.font = &f_.body;
      no.x = kSide + fm.horizontalAdvance(text) + 6 * kPt, no.y = base, no.x2 = Right();
      no.index = int(i);
      Add(no);
      y_ += fm.lineSpacing() * 1.15;
    }
  }

  void Controller(size_t i) {
    const DocController& c = doc_.controllers[i];
    NewPage(c.ident.label.empty() ? "Kontroler " + c.name : c.name + " – " + c.ident.label);
    starts_[i] = Pages();
    Line(f_.h1, kSide, Q("Kontroler " + c.name));
    y_ += 6 * kPt;
    const double kw = 130 * kPt;
    if (!c.ident.label.empty()) KeyValue("Lokalizacja:", c.ident.label, kw);
    KeyValue("Adres IP:", c.ident.address.empty() ? "—" : c.ident.address, kw);
    KeyValue("Tryb pracy:", c.modeText.empty() ? "—" : c.modeText, kw);
    KeyValue("Model:", c.model, kw);
    if (c.hasTrainNumber && !c.missing) KeyValue("Nr pociągu:", std::to_string(c.trainNumber), kw);
    if (c.missing) {
      y_ += 8 * kPt;
      KeyValue("Nie odczytano:", c.reason, kw);
      return;
    }
    Devices(c);
    Passages(c);
    Wiring(c);
  }

  void Devices(const DocController& c) {
    Heading(f_.head, "Urządzenia magistrali", RowH(true) + RowH(false));
    const std::vector<Col> cols = {{34, true}, {104},      {76}, {50, true},
                                   {50, true}, {50, true}, {131}};
    std::vector<std::vector<QString>> rows;
    for (const DocDevice& d : c.devices)
      rows.push_back({QString::number(d.slot), Q(d.label), Q(d.kind),
                      QString::number(d.outputs) + (d.oc ? " OC" : ""), QString::number(d.inputs),
                      QString::number(d.readers), Q(d.state)});
    Table(cols, {"Slot", "Urządzenie", "Rodzaj", "Wyjścia", "Wejścia", "Czytniki", "Stan"}, rows);
  }

  void Passages(const DocController& c) {
    // The heading goes with the first block of passages (the functions and six settings).
    Heading(f_.head, "Przejścia",
            c.passages.empty()
                ? LineH(f_.body)
                : RowH(true) + RowH(false) * double(c.functions.size() + 6) + 6 * kPt);
    if (c.passages.empty()) {
      Line(f_.body, kSide, "Kontroler nie ma przejść.");
      return;
    }
    for (size_t first = 0; first < c.passages.size(); first += 4) {
      const size_t n = std::min<size_t>(4, c.passages.size() - first);
      std::vector<Col> cols = {{119}};
      std::vector<QString> head = {"Funkcja"};
      for (size_t k = 0; k < n; ++k) {
        cols.push_back({94});
        head.push_back(QString("Przejście %1").arg(c.passages[first + k].number));
      }
      std::vector<std::vector<QString>> rows;
      auto row = [&](const std::string& label, auto value) {
        std::vector<QString> r = {Q(label)};
        for (size_t k = 0; k < n; ++k) r.push_back(Q(value(c.passages[first + k])));
        rows.push_back(r);
      };
      for (size_t fn = 0; fn < c.functions.size(); ++fn)
        row(c.functions[fn], [&](const DocPassage& p) { return p.cells.at(fn); });
      auto flag = [](const DocPassage& p, const char* name) {
        return std::string(
            std::find(p.flags.begin(), p.flags.end(), name) != p.flags.end() ? "tak" : "nie");
      };
      row("Typ przejścia", [](const DocPassage& p) { return p.type; });
      row("Impuls otwarcia rygla", [](const DocPassage& p) { return p.boltPulse; });
      row("Dozw. czas otwarcia", [](const DocPassage& p) { return p.openTime; });
      row(kHandleOpeningText, [&](const DocPassage& p) { return flag(p, kHandleOpeningText); });
      row(kFullBoltPulseText, [&](const DocPassage& p) { return flag(p, kFullBoltPulseText); });
      row("Śluza", [](const DocPassage& p) { return p.airlock; });
      // A block of four passages stays on one page.
      Need(RowH(true) + RowH(false) * double(rows.size()) + 6 * kPt);
      Table(cols, head, rows);
      y_ += 6 * kPt;
    }
  }

  void Wiring(const DocController& c) {
    Heading(f_.head, "Lista połączeń", 2 * LineH(f_.body));
    const double indent = kSide + 12 * kPt;
    for (const DocWiringDevice& d : c.wiring) {
      const QString heading = Q(d.heading);
      Need(LineH(f_.bold) * 1.3 + LineH(f_.body));
      y_ += LineH(f_.bold) * 0.3;
      Line(f_.bold, kSide, heading);
      for (const DocWire& wire : d.wires) {
        const QStringList lines = Wrap(f_.body, Q(wire.text), Right() - indent);
        if (y_ + LineH(f_.body) * lines.size() > Limit()) {
          NewPage(section_);
          Line(f_.bold, kSide, heading + " (cd.)");
        }
        for (int i = 0; i < lines.size(); ++i)
          Line(f_.body, i ? indent + 24 * kPt : indent, lines[i]);
      }
    }
  }

  QPdfWriter& w_;
  const Fonts& f_;
  const AsBuiltDoc& doc_;
  std::vector<std::pair<const QFont*, QFontMetricsF>> fm_;
  std::vector<std::vector<Op>> pages_;
  double width_ = 0, height_ = 0, y_ = 0;
  std::string section_;
  std::vector<int> starts_;
};

}  // namespace

bool EnsureGuiApplication(std::string& error) {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) return true;
  if (QCoreApplication::instance()) {
    error = "dokument PDF wymaga aplikacji z obsługą grafiki (QGuiApplication)";
    return false;
  }
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // A program without a session has no XDG_RUNTIME_DIR; Qt's note about it is no news for
  // the user of a command-line tool.
  static QtMessageHandler previous = nullptr;
  previous = qInstallMessageHandler([](QtMsgType t, const QMessageLogContext& c, const QString& m) {
    if (t == QtWarningMsg && m.contains("XDG_RUNTIME_DIR")) return;
    previous(t, c, m);
  });
  // Lives until the process ends; never destroyed while statics go away.
  static int argc = 1;
  static char name[] = "feldaro";
  static char* argv[] = {name, nullptr};
  static QGuiApplication* app = new QGuiApplication(argc, argv);
  return app != nullptr;
}

bool RenderAsBuiltPdf(const AsBuiltDoc& doc, std::string& pdf, std::string& error) {
  if (!EnsureGuiApplication(error)) return false;
  const QString family = LoadFamily(DocFontFile());
  const QString boldFamily = LoadFamily(DocBoldFontFile());
  if (family.isEmpty() || boldFamily.isEmpty()) {
    error = "brak czcionki DejaVu Sans (" + DocFontFile() + "; " + DocFontSource() + ")";
    return false;
  }
  Fonts fonts{MakeFont(family, 8.5, false),    MakeFont(family, 7.5, false),
              MakeFont(boldFamily, 8.5, true), MakeFont(boldFamily, 11.5, true),
              MakeFont(boldFamily, 15, true),  MakeFont(boldFamily, 24, true),
              MakeFont(family, 14, false)};

  QByteArray bytes;
  QBuffer buf(&bytes);
  buf.open(QIODevice::WriteOnly);
  QPdfWriter writer(&buf);
  writer.setPageSize(QPageSize(QPageSize::A4));
  writer.setPageMargins(QMarginsF(0, 0, 0, 0));
  writer.setResolution(kDpi);
  writer.setCreator(Q(doc.site.tool));
  writer.setTitle(Q("Dokumentacja powykonawcza" +
                    (doc.site.name.empty() ? std::string() : " – " + doc.site.name)));

  // The writer compresses each page through two 16 MiB buffers that it allocates and frees
  // page after page. Left to the defaults, glibc maps and unmaps them every time and each
  // page faults fresh memory in: a third of the run for a document of 800 pages. From the
  // heap and kept there, the same memory serves every page.
  KeepLargeBuffers();
  const Layout layout(writer, fonts, doc);
  // About 3 kB a page: one allocation instead of a growing buffer.
  bytes.reserve(qsizetype(layout.Pages()) * 4096 + (1 << 20));
  QPainter painter;
  if (!painter.begin(&writer)) {
    error = "nie można utworzyć dokumentu PDF";
    return false;
  }
  painter.setRenderHint(QPainter::TextAntialiasing);
  layout.Paint(painter);
  painter.end();
  buf.close();
  if (bytes.isEmpty()) {
    error = "nie można utworzyć dokumentu PDF";
    return false;
  }
  pdf.assign(bytes.constData(), size_t(bytes.size()));
  return true;
}

bool WriteAsBuiltPdf(const AsBuiltDoc& doc, const std::string& path, std::string& error) {
  std::string pdf;
  if (!RenderAsBuiltPdf(doc, pdf, error)) return false;
  return WriteFileAtomically(path, pdf, error);
}
