#include "core/messages.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "core/context.h"
#include "core/drive_fields.h"
#include "core/image_state.h"

namespace odf {

namespace {

std::string FormatV(const char* format, va_list ap) {
  va_list again;
  va_copy(again, ap);
  const int needed = std::vsnprintf(nullptr, 0, format, ap);
  std::string text;
  if (needed > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, again);
    text.assign(buffer.data(), static_cast<std::size_t>(needed));
  }
  va_end(again);
  return text;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string text = FormatV(format, ap);
  va_end(ap);
  return text;
}

const char* Chars(const std::uint8_t* bytes) { return reinterpret_cast<const char*>(bytes); }

// Image header fields of the update question. Without a whole header in the image
// buffer the fields stay empty rather than being read from outside it.
const char* HeaderField(const Context& ctx, std::uint32_t offset) {
  const SharedBuffer& image = ctx.host.imageBuffer;
  if (image.data == nullptr || image.size < kHeaderDate + 8) return "";
  return Chars(image.data + offset);
}

// The catalogue text with the values it names filled in from the run state.
// The formats come from the catalogue, so the argument lists are fixed here
// per code.
std::string ComposeMessage(const Context& ctx, MessageCode code, const char* text) {
  const InquiryView inquiry(ctx.inquiry);
  const char* version = ctx.image.imageVersionText.data();
  switch (code) {
    case MessageCode::kBinaryFileLoadFailed:
      return Format(text, ctx.matchedDefinition.fileName);
    case MessageCode::kAskUpdateAllDrives:
      return Format(text, ctx.targets.targetCount);
    case MessageCode::kAskUpdateDrive:
      return Format(text, ctx.run.currentTarget, version, inquiry.Model().Chars(),
                  inquiry.RevisionPrinted().Chars());
    case MessageCode::kStartingDevice:
      return Format(text, ctx.run.currentTarget + 1);
    case MessageCode::kFirmwareAlreadyThisVersion:
    case MessageCode::kAskIrreversibleUpdate:
      return Format(text, version);
    case MessageCode::kSomeDrivesUpdated:
      return Format(text, ctx.run.updatedCount);
    case MessageCode::kAskUpdateFirmware:
      return Format(text, inquiry.Model().Chars(), inquiry.RevisionPrinted().Chars(),
                    inquiry.Date().Chars(),
                    HeaderField(ctx, kHeaderModelName), HeaderField(ctx, kHeaderRevision),
                    HeaderField(ctx, kHeaderDate));
    default:
      return text;
  }
}

UINT BoxType(MessageStyle style) {
  switch (style) {
    case AskOkCancel: return MB_OKCANCEL | MB_ICONQUESTION;
    case AskYesNo: return MB_YESNO | MB_ICONQUESTION;
    case NoticeStop: return MB_OK | MB_ICONHAND;
    case NoticeInfo: return MB_OK | MB_ICONASTERISK;
    case NoticeWarning: return MB_OK | MB_ICONEXCLAMATION;
    default: return 0;
  }
}

// Every box style has a nonzero type (at least an icon); console-only has none.
bool HasBox(MessageStyle style) { return BoxType(style) != 0; }

const char* const kFileErrorTexts[] = {
    "\r\nFile Exception Error %x : Generic error occurred",
    "\r\nFile Exception Error %x : File not found",
    "\r\nFile Exception Error %x : Bad file path is specified",
    "\r\nFile Exception Error %x : Too many open files",
    "\r\nFile Exception Error %x : File access denied",
    "\r\nFile Exception Error %x : Invalid file handle is specified",
    "\r\nFile Exception Error %x : Removed current directory",
    "\r\nFile Exception Error %x : Directory full",
    "\r\nFile Exception Error %x : Bad seek(file pointer)",
    "\r\nFile Exception Error %x : Hardware I/O error",
    "\r\nFile Exception Error %x : File sharing violation",
    "\r\nFile Exception Error %x : File lock violation",
    "\r\nFile Exception Error %x : Disk full",
    "\r\nFile Exception Error %x : Reach to end of file",
};

bool Interrupted(Context& ctx) { return ctx.platform.GetInterruption() != 0; }

int Ask(Context& ctx, MessageCode code, const std::string& message, MessageStyle style) {
  if (ctx.dialogue.answer) {
    if (const int answer = ctx.dialogue.answer(code); answer != 0) return answer;
  }
  return AskBox(ctx, message, style);
}

}  // namespace

int ShowMessage(Context& ctx, MessageCode code, MessageStyle style) {
  const int number = static_cast<int>(code);
  const char* text = ctx.run.oemCodePage == 932 ? JapaneseText(number) : EnglishText(number);
  const std::string message = text != nullptr ? ComposeMessage(ctx, code, text)
                                              : std::string(kUnknownMessageText);
  if (ctx.dialogue.showing) ctx.dialogue.showing(code, message);
  if (style == AskOkCancel || style == AskYesNo) {
    // Once an interruption is held the run is only finishing a drive: no
    // question may lead to more, whoever would answer it. One that comes
    // while a question waits answers that question No too.
    const int answer = Interrupted(ctx) ? 0 : Ask(ctx, code, message, style);
    if (!Interrupted(ctx)) return answer;
    if (ctx.dialogue.declined) ctx.dialogue.declined(code);
    return style == AskOkCancel ? IDCANCEL : IDNO;
  }
  PrintText(ctx, message);
  if (HasBox(style)) return AskBox(ctx, message, style);
  return 0;
}

void PrintText(Context& ctx, const std::string& text) { ctx.platform.WriteConsole(text); }

int AskBox(Context& ctx, const std::string& text, MessageStyle style) {
  if (!HasBox(style)) return 0;
  const int answer = ctx.platform.MessageBoxA(0, text.c_str(), "ODFLSH", BoxType(style));
  // A question box that could not be shown (no display) answers neither Yes
  // nor No. Callers that test for No would take that as consent to write
  // firmware, so anything but a real Yes is a No.
  if (style == AskYesNo && answer != IDYES) return IDNO;
  return answer;
}

void ReportFileException(Context& ctx, int cause) {
  if (cause < 1 || cause > 14) return;
  ComposeText(ctx, kFileErrorTexts[cause - 1], static_cast<unsigned>(cause));
  // Printed as well: the loaders' own failure messages do not say why the
  // file could not be read.
  PrintText(ctx, ctx.consoleText);
}

void ComposeText(Context& ctx, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  ctx.consoleText = FormatV(format, ap);
  va_end(ap);
}

void PrintFormatted(Context& ctx, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  ctx.consoleText = FormatV(format, ap);
  va_end(ap);
  PrintText(ctx, ctx.consoleText);
}

}  // namespace odf
