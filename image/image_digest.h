// Checking an image file against the SHA-256 its publisher gives, in a
// FILE.sha256 beside it (as sha256sum writes it) or in its definition. The
// header checks say whether a file is meant for a drive, not whether it
// arrived whole; only a digest catches a changed byte in its body.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "image/sha256.h"

namespace odf {

struct Context;
struct UpdateDefinition;

// What a digest list says of one file.
enum class DigestListFault { None, NotInForm, NoDigestForFile, Conflicting };
struct DigestListEntry {
  DigestListFault fault = DigestListFault::None;
  unsigned long line = 0;  // the line that is not in the form
  Sha256Digest digest{};
};

// The SHA-256 `text` gives `fileName`. Lines as sha256sum writes them
// ("DIGEST  NAME", "DIGEST *NAME", a backslash first for an escaped name),
// tagged ("SHA256 (NAME) = DIGEST"), or a digest alone, which stands for the
// file the list lies beside. Names compare by their last path component,
// letter case ignored (the names are the Windows program's). Blank lines are
// skipped; any other line out of these forms makes the list unusable, so a
// damaged list is never taken for a list without this file.
DigestListEntry DigestForFile(std::string_view text, std::string_view fileName);

// The digests a load checks its file against.
struct KnownDigests {
  std::optional<Sha256Digest> definition;
  std::optional<Sha256Digest> sideFile;
};

// What is known of `fileName`'s digest before it is read: the definition's
// (pass the definition only for the file it names) and the one in
// fileName.sha256 when that exists. 0, or -1 when fileName.sha256 is there
// but cannot be used, after one console line saying why.
int LookUpDigests(Context& ctx, const std::string& fileName, const UpdateDefinition* definition,
                  KnownDigests& known);

// Whether a load must compute its file's digest: one is known, or the front
// end takes notes.
bool DigestWanted(const Context& ctx, const KnownDigests& known);

// After the file was read whole: -1, after one console line naming both
// digests, when the file's differs from a known one. When none is known the
// front end's note hook hears the file's digest, once per file and run.
int CheckDigest(Context& ctx, const std::string& fileName, const KnownDigests& known,
                const Sha256Digest& actual);

// Tells the front end's note hook, when there is one, why `fileName` cannot be
// loaded; the console carries only the load-failure message.
void NoteImageRefused(Context& ctx, const std::string& fileName, const std::string& why);

}  // namespace odf
