// The pieces of one update pass that the two kernel-switching procedures
// (families one and four) share: the checks before the update, the user's
// go-ahead, the kernel part, and the read-back that decides the result.
#pragma once

#include <optional>

namespace odf {

struct Context;
class InterruptionHold;

// How one pass ended: with the procedure's result, or with the user asking
// for another pass.
enum class PassEnd { Done, Retry };

struct PassResult {
  PassEnd end;
  int result;
};

inline PassResult Returns(int result) { return {PassEnd::Done, result}; }

// The first pass over a drive, or one the user asked for after a pass whose
// read-back found the drive still in (or not clearly out of) its kernel.
enum class PassKind { First, Retry };

// The drive's last inquiry revision begins "000": it answers as its kernel.
bool RevisionIsKernel(const Context& ctx);

// SelectDefinition, then passes until one ends without a retry. A drive
// that runs only its kernel (found so, or left so by a failed pass) no longer
// runs any firmware: a pass over it that stops short of the update ends the
// run, so nobody walks away from it on a quiet exit 0.
int RunPasses(Context& ctx, PassResult (*pass)(Context&, PassKind));

// Clears kernelMode, loads the normal image, reads the current revision,
// prints the signature and checks the image header against the drive.
// 0 to go on, otherwise the pass's result.
int CheckDriveAndImage(Context& ctx);

// The same checks at the start of a pass: nothing to go on, otherwise how the
// pass ends. A retry pass that finds the drive running the image's revision
// ends updated (message 12, result 0) before the header check: the pass
// before did update it, only its read-back came back unclear.
std::optional<PassResult> CheckAtPassStart(Context& ctx, PassKind kind);

// The question before an update that cannot be reversed; 0 to go on, 1 when
// the user declined (message 33 shown).
int AskIrreversibleUpdate(Context& ctx);

// Ready check, the user's go-ahead (unless all drives were confirmed at
// once) and the announcement. 0 to go on, otherwise the pass's result.
int ConfirmUpdateStart(Context& ctx);

// The plain switch into the kernel and the check that the drive answers as
// its kernel; 0, or -1 when the pass must end the run.
int EnterKernelPlainly(Context& ctx);

// With the kernel part in scope: loads the kernel image, writes its first
// `blockCount` blocks and loads the normal image again. 0, or -1.
int UpdateKernelPart(Context& ctx, int blockCount);

// Reads the revision back. A drive that still answers as its kernel is
// offered another pass (after `beforeRetryQuestion`, when given). Otherwise
// the drive counts as updated only when it reports the image's revision.
// `hold` ends once the drive has answered, before any question; a drive
// still in its kernel keeps interruptions held on its own.
PassResult ReadBackNewRevision(Context& ctx, InterruptionHold& hold,
                               void (*beforeRetryQuestion)(Context&));

}  // namespace odf
