#include "app/messages.h"
#include <cstdarg>
#include <cstdio>
#include "app/context.h"
namespace odf {
const char* EnglishText(int) { return nullptr; }
const char* JapaneseText(int) { return nullptr; }
int ShowMessage(Context& ctx, int code, int) { PrintFormatted(ctx, "\r\n[message %d]", code); return 0; }
void PrintText(Context& ctx, const std::string& text) { ctx.platform.WriteConsole(text); }
int AskBox(Context&, const std::string&, int) { return 7; }
void ReportFileException(Context&, int) {}
void ComposeText(Context& ctx, const char* format, ...) {
  va_list ap; va_start(ap, format); char buf[4096]; std::vsnprintf(buf, sizeof buf, format, ap); va_end(ap); ctx.consoleText = buf; }
void PrintFormatted(Context& ctx, const char* format, ...) {
  va_list ap; va_start(ap, format); char buf[4096]; std::vsnprintf(buf, sizeof buf, format, ap); va_end(ap); ctx.consoleText = buf; PrintText(ctx, ctx.consoleText); }
}  // namespace odf
