// The message catalogue and the console dialogue.
#pragma once

#include <cstdint>
#include <string>

#include "core/message_codes.h"

namespace odf {

struct Context;

enum MessageStyle : std::int32_t {
  ConsoleOnly = 0,
  AskOkCancel = 1,
  AskYesNo = 2,
  NoticeStop = 16,
  NoticeInfo = 17,
  NoticeWarning = 18,
};

inline constexpr const char* kUnknownMessageText = "\r\nUnknow Message Code\r\n";

// The catalogue text of a code, or nullptr for a code without text.
const char* EnglishText(int code);
const char* JapaneseText(int code);  // cp932 bytes

int ShowMessage(Context& ctx, MessageCode code, MessageStyle style);
void PrintText(Context& ctx, const std::string& text);
int AskBox(Context& ctx, const std::string& text, MessageStyle style);
void ReportFileException(Context& ctx, int cause);

// printf-style composition into consoleText (replacing it), and the usual
// "compose then print" pair in one call.
void ComposeText(Context& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));
void PrintFormatted(Context& ctx, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace odf
