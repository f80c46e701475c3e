// The as-built documentation as an A4 PDF: cover page, table of contents, per controller its
// identity, bus devices, passages and wiring list; running header and "strona X z Y" footer.
// Text stays text (selectable, searchable) in DejaVu Sans, embedded.
#pragma once
#include <string>

#include "config/asbuilt.h"

// The font files the document is set in: DejaVu Sans and DejaVu Sans Bold, from the
// system's fonts (package fonts-dejavu-core) on Linux and from the fonts folder shipped beside
// the program on Windows (docfonts_*.cpp).
std::string DocFontFile();
std::string DocBoldFontFile();
// Where the fonts come from, for the message when they cannot be loaded.
std::string DocFontSource();
// Lets the allocator keep the writer's large page buffers instead of returning them to the
// system after every page, where the platform has such a setting.
void KeepLargeBuffers();

// Rendering needs a QGuiApplication. For a program without a window (feldaro-cli, tests,
// benchmarks) this makes one, on the offscreen platform unless QT_QPA_PLATFORM names
// another, so no display is needed. Does nothing when a QGuiApplication exists; false with
// the reason when another kind of application object is already there.
bool EnsureGuiApplication(std::string& error);

// The whole document as PDF bytes; false with the reason (the fonts cannot be loaded).
bool RenderAsBuiltPdf(const AsBuiltDoc& doc, std::string& pdf, std::string& error);
// Renders and replaces path atomically (never a half-written file); false with the reason.
bool WriteAsBuiltPdf(const AsBuiltDoc& doc, const std::string& path, std::string& error);
