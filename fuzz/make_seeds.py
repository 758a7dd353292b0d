#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target (fuzz/corpus/NAME/seed-*).

Seeds are small, readable starting points: a sound input of each kind and a
few that stop at each check. Inputs kept from findings (named after the
finding) live beside them and are left alone. Run again after changing a seed
here; the fuzz targets' comments describe the input formats.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


# ---- fuzz_image: a binary image file, then the set-up byte -----------------

def image(size=0x400, revision="1.04 ", hardware="QBC 0100", signature="KES_ADV ",
          normal="QBC-850 ", part="N", date="08/01/10", kernel_revision="K104"):
    body = bytearray((i * 37 + 11) & 0xFF for i in range(size))

    def put(offset, text):
        for i, c in enumerate(text.encode("latin-1")):
            if offset + i < size:
                body[offset + i] = c

    put(0x60, "KESTREL BD-ROM  QBC-850 ")
    put(0x90, revision)
    put(0xB0, hardware)
    put(0xD0, signature)
    put(0xF0, normal)
    put(0x110, part)
    put(0x130, date)
    put(0x150, kernel_revision)
    return bytes(body)


def image_seeds():
    # Set-up byte: bit 0 ASPI route, bit 1 kernel part too, bits 2-3 the drive
    # (found in its kernel, pre-production, long date), bit 4 a kernel file
    # as long as the kernel part.
    sound = image()
    for setup, name in [(0, "pt"), (1, "aspi"), (2, "kernel-scope"), (4, "drive-in-kernel"),
                        (8, "pre-production"), (12, "long-date"), (3, "aspi-kernel-scope"),
                        (0x12, "kernel-scope-full-kernel"), (0x16, "drive-in-kernel-full-kernel")]:
        write("fuzz_image", "sound-" + name, sound + bytes([setup]))
    write("fuzz_image", "two-blocks", image(size=0x8000 + 0x123) + b"\x00")
    write("fuzz_image", "old-date", image(date="08/01/09") + b"\x00")
    write("fuzz_image", "kernel-letter", image(part="K") + b"\x00")
    write("fuzz_image", "bad-signature", image(signature="KES_ADX ") + b"\x00")
    write("fuzz_image", "hardware-mismatch", image(hardware="QBC 0200") + b"\x00")
    write("fuzz_image", "normal-name-mismatch", image(normal="QBC-851 ") + b"\x00")
    write("fuzz_image", "already-latest", image(revision="1.00 ", date="07/12/01") + b"\x00")
    write("fuzz_image", "no-header", image(size=0x100) + b"\x00")


# ---- fuzz_hex: the text of a HEX file -----------------------------------------

def record(kind, address, data):
    fields = bytes([len(data), address >> 8, address & 0xFF, kind]) + bytes(data)
    checksum = (-sum(fields)) & 0xFF
    return ":" + fields.hex().upper() + "%02X" % checksum


END = ":00000001FF"


def hex_seeds():
    data16 = list(range(16))
    write("fuzz_hex", "two-records",
          "\n".join([record(0, 0, data16), record(0, 0x20, data16), END]) + "\n")
    write("fuzz_hex", "crlf-lowercase",
          "\r\n".join([record(0, 0, data16).lower(), record(0, 0x10, data16), END]) + "\r\n")
    write("fuzz_hex", "segment-to-patch-block",
          "\n".join([record(2, 0, [0x20, 0x00]), record(0, 0, list(range(32))),
                     record(0, 0xFF0, data16), END]) + "\n")
    write("fuzz_hex", "linear-zero-then-data",
          "\n".join([record(4, 0, [0, 0]), record(0, 0x30, data16), END]))
    write("fuzz_hex", "linear-nonzero",
          "\n".join([record(4, 0, [0, 1]), record(0, 0, data16), END]) + "\n")
    # As srec_cat writes it: a zero linear address first, then the patch
    # block's by a linear address; and a segment left under a linear address.
    write("fuzz_hex", "linear-to-patch-block",
          "\n".join([record(4, 0, [0, 0]), record(0, 0x10, data16), record(4, 0, [0, 2]),
                     record(0, 0xFF0, data16), END]) + "\n")
    write("fuzz_hex", "segment-and-linear",
          "\n".join([record(2, 0, [0x10, 0]), record(4, 0, [0, 0]), record(0, 0, data16), END]) + "\n")
    write("fuzz_hex", "no-end-record", record(0, 0, data16) + "\n")
    write("fuzz_hex", "no-start-character",
          "\n".join([record(0, 0, data16), "", record(0, 0x10, data16), END]) + "\n")
    write("fuzz_hex", "cut-record", record(0, 0, data16)[:-10] + "\n" + END + "\n")
    write("fuzz_hex", "limit-then-garbage",
          "\n".join([record(0, i * 32, list(range(32))) for i in range(2)] + ["garbage", END]) + "\n")
    write("fuzz_hex", "full-record",
          "\n".join([record(0, 0x100, [0xA5] * 255), record(5, 0, [0, 0, 0, 0]), END]) + "\n")
    # Sound files a careless reader once took wrongly, and the damage it let through.
    write("fuzz_hex", "start-addresses",
          "\r\n".join([record(0, 0, data16), record(3, 0, [0x10, 0, 0x12, 0x34]),
                        record(5, 0, [0x12, 0x34, 0x56, 0x78]), END]) + "\r\n")
    write("fuzz_hex", "record-twice",
          "\n".join([record(0, 0, list(range(32))), record(0, 0, list(range(32))),
                     record(0, 0x20, data16), END]) + "\n")
    bad_sum = record(0, 0x10, data16)
    write("fuzz_hex", "bad-checksum",
          "\n".join([record(0, 0, data16), bad_sum[:-1] + ("0" if bad_sum[-1] != "0" else "1"), END]) + "\n")
    write("fuzz_hex", "digit-dropped",
          "\n".join([record(0, 0, data16), record(0, 0x10, data16)[:14] + record(0, 0x10, data16)[15:],
                     END]) + "\n")
    write("fuzz_hex", "junk-after-record", "\n".join([record(0, 0, data16) + " ;", END]) + "\n")
    write("fuzz_hex", "type-06", "\n".join([record(6, 0, [1, 2]), record(0, 0, data16), END]) + "\n")
    write("fuzz_hex", "segment-four-bytes",
          "\n".join([record(2, 0, [0x20, 0, 0, 0]), record(0, 0, data16), END]) + "\n")
    write("fuzz_hex", "outside-image",
          "\n".join([record(2, 0, [0x30, 0x00]), record(0, 0, data16), END]) + "\n")


# ---- fuzz_replies: a set-up byte, then the drive's reply script ---------------

MODEL = [0x00]  # the model answers the command


def short(n):
    return [0x01, n]


def data(payload):
    payload = list(payload)
    if len(payload) >= 0xFF:
        return [0x02, 0xFF, len(payload) >> 8, len(payload) & 0xFF] + payload
    return [0x02, len(payload)] + payload


def sense(key, asc, ascq, length=18, fails_ioctl=False):
    s = [0x70, 0, key, 0, 0, 0, 0, 10, 0, 0, 0, 0, asc, ascq, 0, 0, 0, 0]
    return [0x07 if fails_ioctl else 0x03, length] + s


def field(text, width):
    return list(text.ljust(width)[:width].encode("latin-1"))


def inquiry(model="KESTREL BD-ROM  QBC-850 ", revision="1.00", date="07/12/01"):
    reply = [5, 0x80, 5, 2, 91, 0, 0, 0] + field(model, 24) + field(revision, 4) + [0x20] + field(date, 10)
    return reply + [0x20] * (96 - len(reply))


def drive_info(hardware="QBC 0100", signature="KES_ADV ", normal="QBC-850 "):
    return [0] * 16 + field(hardware, 8) + field(signature, 8) + field(normal, 8) + [0] * 8


# A one-drive family-four run on a 2-block image sends, in order: discovery's
# INQUIRY and drive information (1, 2), the procedure's INQUIRY and drive
# information (3, 4), the revision's INQUIRY (5), the header check's drive
# information (6), START STOP UNIT (7), TEST UNIT READY (8), the kernel switch
# (9), the kernel INQUIRY (10), two blocks (11, 12), the normal switch (13),
# then the read-back.
def run(*commands):
    script = []
    for c in commands:
        script += c
    return bytes(script)


def replies_seeds():
    for setup, name in [(0x00, "pt"), (0x01, "aspi"), (0x09, "aspi-intelata"), (0x04, "kernel"),
                        (0x14, "kernel-yes-to-all")]:
        write("fuzz_replies", "model-" + name, bytes([setup]))
    write("fuzz_replies", "two-drives", bytes([0x02, 2]) + run(MODEL, data(inquiry("KESTREL DVD-RW  QRW-710"))))
    write("fuzz_replies", "inquiry-scripted", bytes([0]) + run(data(inquiry())))
    write("fuzz_replies", "inquiry-short", bytes([0]) + run(short(8), short(40)))
    write("fuzz_replies", "inquiry-empty", bytes([1]) + run(data([])))
    write("fuzz_replies", "drive-info-general-scsi",
          bytes([0]) + run(MODEL, data(drive_info("SCSI0100", "GENERAL ")), MODEL, data(drive_info("SCSI0100", "GENERAL "))))
    write("fuzz_replies", "drive-info-short", bytes([0]) + run(MODEL, short(20), MODEL, short(33)))
    write("fuzz_replies", "kernel-only-drive-info",
          bytes([0]) + run(MODEL, MODEL, MODEL, data(drive_info(normal=""))))
    write("fuzz_replies", "tur-no-medium", bytes([0]) + run(*[MODEL] * 7, sense(2, 0x3A, 0)))
    write("fuzz_replies", "tur-becoming-ready", bytes([1]) + run(*[MODEL] * 7, sense(2, 4, 1)))
    write("fuzz_replies", "tur-unit-attention", bytes([0]) + run(*[MODEL] * 7, *[sense(6, 0x29, 0)] * 25))
    write("fuzz_replies", "tur-short-sense", bytes([0]) + run(*[MODEL] * 7, sense(2, 0x3A, 0, length=3)))
    write("fuzz_replies", "tur-no-sense-intelata", bytes([0x09]) + run(*[MODEL] * 7, sense(0, 0, 0, length=0)))
    write("fuzz_replies", "kernel-switch-timeout", bytes([0]) + run(*[MODEL] * 8, [0x05]))
    write("fuzz_replies", "kernel-inquiry-wrong", bytes([0]) + run(*[MODEL] * 9, data(inquiry())))
    write("fuzz_replies", "block-transport-fails", bytes([1]) + run(*[MODEL] * 10, [0x06, 0]))
    write("fuzz_replies", "block-sense-intelata", bytes([0x09]) + run(*[MODEL] * 11, sense(2, 4, 1)))
    write("fuzz_replies", "normal-switch-restart", bytes([0]) + run(*[MODEL] * 12, sense(6, 0x29, 0, fails_ioctl=True)))
    write("fuzz_replies", "normal-switch-late", bytes([1]) + run(*[MODEL] * 12, [0xF8]))
    write("fuzz_replies", "read-back-kernel-retry",
          bytes([0x10]) + run(*[MODEL] * 14, data(inquiry("KESTREL BD-RW   QBW-610 ", "0001"))))
    write("fuzz_replies", "busy-status", bytes([0]) + run([0x04, 0x08], [0x04, 0x18]))
    # Family one (bits 5-7 of the set-up byte: 1), a QRW-730 that demands the
    # handshake: its challenge is a 1024-byte READ BUFFER reply.
    for setup, name in [(0x20, "pt"), (0x21, "aspi"), (0x30, "yes-to-all")]:
        write("fuzz_replies", "family-one-" + name, bytes([setup]))
    write("fuzz_replies", "family-one-challenge-scripted",
          bytes([0x20]) + run(*[MODEL] * 9, data([(i * 7) & 0xFF for i in range(1024)])))
    write("fuzz_replies", "family-one-challenge-short", bytes([0x20]) + run(*[MODEL] * 9, short(100)))
    # Family zero (set-up bits 5-7: 2), a QRD-570 and its HEX image.
    # It sends INQUIRY and the drive information (1, 2), INQUIRY (3), the
    # identification's read of the firmware area at 0x1000 (4), INQUIRY (5),
    # the read-back of the area in four blocks (6-9), then the update.
    for setup, name in [(0x40, "pt"), (0x41, "aspi"), (0x49, "aspi-intelata")]:
        write("fuzz_replies", "family-zero-" + name, bytes([setup]))
    write("fuzz_replies", "family-zero-identification-scripted",
          bytes([0x40]) + run(*[MODEL] * 3, data(field("KESTREL QRD-570 ", 16) + field("MN103S", 16) + [0xFF] * 32)))
    write("fuzz_replies", "family-zero-identification-short", bytes([0x41]) + run(*[MODEL] * 3, short(20)))
    write("fuzz_replies", "family-zero-read-back-short", bytes([0x40]) + run(*[MODEL] * 6, short(200)))
    write("fuzz_replies", "family-zero-read-back-fails", bytes([0x41]) + run(*[MODEL] * 5, sense(3, 0x11, 0)))


# ---- fuzz_options: odflsh-sim's arguments, one per line -------------------------

def options_seeds():
    def args(*a):
        return "\n".join(a) + "\n"

    write("fuzz_options", "one-drive", args("--drive", "qbc850", "--answers", "yes"))
    write("fuzz_options", "aspi-two-drives",
          args("--route=aspi", "--drive", "qbc850,adapter=1,target=3", "--drive", "qbc850", "--answers", "yes,no"))
    write("fuzz_options", "drive-keys",
          args("--drive", "qbc850,rev=1.02,date=2008/01/09,hw=QBC 0100,sig=KES_ADV,normal=QBC-850,letter=f,"
                          "noaddr=1,disc=0,ready=becoming,kernel=1,checksum=c23ad8b9,ua=3"))
    write("fuzz_options", "faults",
          args("--drive", "qbc850,fail=writebuf/7/f0@2:4/44/0,fail=tur@0:timeout,fail=inquiry@3:transport,fail=3c/2/f1:5/24/0",
               "--answers", "y,y,n"))
    write("fuzz_options", "code-page-trace", args("--oemcp", "932", "--trace", "--drive", "qbc850"))
    write("fuzz_options", "image-options", args("--image-rev=1.05", "--image-date", "08/02/01", "--help"))
    write("fuzz_options", "refused-letter-twice", args("--drive", "qbc850,letter=d", "--drive", "qbc850,letter=D"))
    write("fuzz_options", "refused-bad-fault", args("--drive", "qbc850,fail=writebuf/7/f0/1@x:4"))
    write("fuzz_options", "definition-family-four",
          args("--definition", "fileName=S1003431.104,vendor=KESTREL,product=BD-ROM  QBC-850,imageSize=0x9000,"
                               "familyCode=0x4003,updateScope=0,minimumImageDate=0x20080110,checksum=0xC23AD8B9",
               "--drive", "qbc850", "--answers", "yes"))
    write("fuzz_options", "definition-family-one-handshake",
          args("--definition", "fileName=Q7300122.BIN,vendor=KESTREL,product=DVD-RW  QRW-730,extension=BIN,"
                               "imageSize=0x9000,familyCode=0x1005,updateScope=1,minimumImageDate=0x20070101,"
                               "vendorTag=QRW730N",
               "--drive", "qrw730,rev=1.22,handshake=1", "--image-rev=1.30", "--answers", "yes"))
    write("fuzz_options", "definitions-two-writers",
          args("--route", "aspi",
               "--definition", "fileName=Q7100130.BIN,vendor=KESTREL,product=DVD-RW  QRW-710,imageSize=0x8000,"
                               "familyCode=0x1003,updateScope=0,vendorTag=QRW710N",
               "--definition", "fileName=Q7200120.BIN,vendor=KESTREL,product=DVD-RW  QRW-720,familyCode=0x1004",
               "--drive", "qrw710,kernelid=qbw,family=0x1003", "--drive", "qrw720"))
    write("fuzz_options", "refused-definition-field", args("--definition", "fileName=A,imageSize=0x1,bogus=2"))
    write("fuzz_options", "definition-family-zero",
          args("--definition", "fileName=QRD570.HEX,modelCode=KESTREL QRD-570,vendor=KESTREL,product=DVD-ROM QRD-570,"
                               "versionText=1.07,cpuType=MN103S,extension=HEX,imageSize=0x20000,familyCode=1",
               "--route=aspi", "--drive", "qrd570,rev=1.06", "--answers", "yes"))
    write("fuzz_options", "hosts",
          args("--route", "aspi", "--host", "intelata,bridge=1", "--host", "iaa,ultraata",
               "--drive", "qbc850,adapter=1,fail=writebuf/7/f0@2:short=100", "--answers", "yes,no"))


def main():
    image_seeds()
    hex_seeds()
    replies_seeds()
    options_seeds()
    return 0


if __name__ == "__main__":
    sys.exit(main())
