// The as-built documentation as an A4 PDF: cover page, table of contents, per controller its
// identity, bus devices, passages and wiring list; running header and "strona X z Y" footer.
// Text stays text (selectable, searchable) in DejaVu Sans, embedded.
#pragma once
#include <string>

#include "config/asbuilt.h"

// The fonts the document is set in (package fonts-dejavu-core).
inline constexpr const char* kDocFontFile = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
inline constexpr const char* kDocBoldFontFile =
    "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

// Rendering needs a QGuiApplication. For a program without a window (feldaro-cli, tests,
// benchmarks) this makes one, on the offscreen platform unless QT_QPA_PLATFORM names
// another, so no display is needed. Does nothing when a QGuiApplication exists; false with
// the reason when another kind of application object is already there.
bool EnsureGuiApplication(std::string& error);

// The whole document as PDF bytes; false with the reason (the fonts cannot be loaded).
bool RenderAsBuiltPdf(const AsBuiltDoc& doc, std::string& pdf, std::string& error);
// Renders and replaces path atomically (never a half-written file); false with the reason,
// and the system's error number in errnum (when given) as WriteFileAtomically gives it.
bool WriteAsBuiltPdf(const AsBuiltDoc& doc, const std::string& path, std::string& error,
                     int* errnum = nullptr);
