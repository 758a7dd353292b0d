#include "image/image_digest.h"

#include <algorithm>
#include <cstring>

#include "core/context.h"
#include "core/messages.h"

namespace odf {

namespace {

constexpr char kListSuffix[] = ".sha256";
constexpr char kTagStart[] = "SHA256 (";
constexpr char kTagEnd[] = ") = ";
// A list for a handful of files is a few hundred bytes; anything far larger
// is not one.
constexpr DWORD kListLimit = 64 * 1024;
constexpr std::size_t kDigestDigits = 64;

bool SameLetters(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::string_view LastComponent(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// sha256sum's escape of a name holding a backslash or a line end.
bool Unescape(std::string_view escaped, std::string& name) {
  name.clear();
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      name += escaped[i];
      continue;
    }
    if (++i == escaped.size()) return false;
    if (escaped[i] == '\\') {
      name += '\\';
    } else if (escaped[i] == 'n') {
      name += '\n';
    } else {
      return false;
    }
  }
  return true;
}

// One line: false when it is in none of the forms. `named` is false for a
// digest alone; `name` is the path as the line gives it.
bool ParseListLine(std::string_view line, Sha256Digest& digest, bool& named, std::string& name) {
  named = true;
  if (line.substr(0, sizeof kTagStart - 1) == kTagStart) {
    const std::size_t end = line.rfind(kTagEnd);
    if (end == std::string_view::npos || end < sizeof kTagStart - 1) return false;
    name.assign(line.substr(sizeof kTagStart - 1, end - (sizeof kTagStart - 1)));
    return !name.empty() && ParseSha256Text(line.substr(end + sizeof kTagEnd - 1), digest);
  }
  const bool escaped = !line.empty() && line[0] == '\\';
  if (escaped) line.remove_prefix(1);
  if (!ParseSha256Text(line.substr(0, kDigestDigits), digest)) return false;
  std::string_view rest = line.substr(kDigestDigits);
  if (rest.empty()) {
    named = false;
    return !escaped;
  }
  // Two blanks (text mode), or a blank and '*' (binary mode); one blank as
  // some other tools write it.
  if (rest[0] != ' ') return false;
  rest.remove_prefix(1);
  if (!rest.empty() && (rest[0] == ' ' || rest[0] == '*')) rest.remove_prefix(1);
  if (rest.empty()) return false;
  if (escaped) return Unescape(rest, name);
  name.assign(rest);
  return true;
}

enum class ListRead { None, Read, Failed };

ListRead Unusable(Context& ctx, const std::string& listName, const std::string& why) {
  PrintFormatted(ctx, "\r\n%s cannot be used: %s.", listName.c_str(), why.c_str());
  return ListRead::Failed;
}

std::string CannotRead(DWORD error) { return "it cannot be read (error " + std::to_string(error) + ")"; }

// The list beside the image, read whole through the platform; None when
// there is no such file.
ListRead ReadDigestList(Context& ctx, const std::string& listName, std::string& text) {
  Platform& os = ctx.platform;
  const DWORD attributes = os.GetFileAttributesA(listName.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = os.GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ListRead::None;
    return Unusable(ctx, listName, CannotRead(error));
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return Unusable(ctx, listName, "it is a folder");
  const HANDLE file = os.CreateFileA(listName.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) {
    return Unusable(ctx, listName, CannotRead(os.GetLastError()));
  }
  DWORD sizeHigh = 0;
  const DWORD size = os.GetFileSize(file, &sizeHigh);
  ListRead result = ListRead::Read;
  if (size == INVALID_FILE_SIZE || sizeHigh != 0 || size > kListLimit) {
    result = Unusable(ctx, listName,
                      "it is larger than a list of digests can be (" + std::to_string(kListLimit) + " bytes)");
  } else {
    text.assign(size, '\0');
    DWORD read = 0;
    if (size != 0 && (os.ReadFile(file, text.data(), size, &read) == FALSE_ || read != size)) {
      result = Unusable(ctx, listName, CannotRead(os.GetLastError()));
    }
  }
  os.CloseHandle(file);
  return result;
}

void Note(Context& ctx, const std::string& text) {
  if (!ctx.dialogue.note) return;
  std::vector<std::string>& given = ctx.image.notesGiven;
  if (std::find(given.begin(), given.end(), text) != given.end()) return;
  given.push_back(text);
  ctx.dialogue.note(text);
}

}  // namespace

DigestListEntry DigestForFile(std::string_view text, std::string_view fileName) {
  DigestListEntry entry;
  entry.fault = DigestListFault::NoDigestForFile;
  const std::string_view wanted = LastComponent(fileName);
  unsigned long number = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    Sha256Digest digest{};
    bool named = false;
    std::string name;
    if (!ParseListLine(line, digest, named, name)) return {DigestListFault::NotInForm, number, {}};
    if (named && !SameLetters(LastComponent(name), wanted)) continue;
    if (entry.fault == DigestListFault::None && entry.digest != digest) {
      return {DigestListFault::Conflicting, number, {}};
    }
    entry = {DigestListFault::None, 0, digest};
  }
  return entry;
}

int LookUpDigests(Context& ctx, const std::string& fileName, const UpdateDefinition* definition,
                  KnownDigests& known) {
  known = {};
  if (definition != nullptr && definition->sha256Given) {
    Sha256Digest digest{};
    std::memcpy(digest.data(), definition->sha256, digest.size());
    known.definition = digest;
  }
  const std::string listName = fileName + kListSuffix;
  std::string text;
  switch (ReadDigestList(ctx, listName, text)) {
    case ListRead::None: return 0;
    case ListRead::Failed: return -1;
    case ListRead::Read: break;
  }
  const DigestListEntry entry = DigestForFile(text, fileName);
  switch (entry.fault) {
    case DigestListFault::None:
      known.sideFile = entry.digest;
      return 0;
    case DigestListFault::NotInForm:
      Unusable(ctx, listName, "line " + std::to_string(entry.line) + " is not a SHA-256 line as sha256sum writes it");
      return -1;
    case DigestListFault::NoDigestForFile:
      Unusable(ctx, listName, "it gives no SHA-256 for " + fileName);
      return -1;
    case DigestListFault::Conflicting:
      Unusable(ctx, listName, "line " + std::to_string(entry.line) + " gives " + fileName + " another SHA-256");
      return -1;
  }
  return -1;
}

bool DigestWanted(const Context& ctx, const KnownDigests& known) {
  return known.definition || known.sideFile || ctx.dialogue.note;
}

int CheckDigest(Context& ctx, const std::string& fileName, const KnownDigests& known,
                const Sha256Digest& actual) {
  const std::string listName = fileName + kListSuffix;
  const struct {
    const std::optional<Sha256Digest>& digest;
    const char* source;
  } sources[] = {{known.definition, "its definition"}, {known.sideFile, listName.c_str()}};
  for (const auto& s : sources) {
    if (!s.digest || *s.digest == actual) continue;
    PrintFormatted(ctx, "\r\n%s has SHA-256 %s, but %s gives %s.", fileName.c_str(), Sha256Text(actual).c_str(),
                   s.source, Sha256Text(*s.digest).c_str());
    return -1;
  }
  if (!known.definition && !known.sideFile) {
    Note(ctx, fileName + " has SHA-256 " + Sha256Text(actual) + "; no " + listName +
                  " lies beside it to check that against.");
  }
  return 0;
}

void NoteImageRefused(Context& ctx, const std::string& fileName, const std::string& why) {
  Note(ctx, fileName + " cannot be loaded: " + why + ".");
}

}  // namespace odf
