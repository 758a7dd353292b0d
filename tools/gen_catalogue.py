#!/usr/bin/env python3
"""Writes the message catalogue from the table below:

    core/message_codes.h   the MessageCode names of the codes
    core/catalogue_en.cpp  the English texts
    core/catalogue_ja.cpp  the Japanese texts

The Japanese texts are kept here in readable form and written out as code
page 932 (Shift JIS) byte strings, each next to its readable text in a
comment. Half-width katakana stay half-width, one byte each. Run it after
editing a name or a text:

    python3 tools/gen_catalogue.py

With --check it writes nothing and exits with 1 when a generated file is
missing or differs from what it would write, naming the file.
"""

import argparse
import os
import re
import sys

# (code, name, English text, Japanese text). The name says what the message
# is about; a code without text (None) shows the unknown-code text instead
# and is named after its number.
MESSAGES = [
    (0, "kDriveInfoFailed",
     "\nFailed to get a drive information.",
     "\nﾄﾞﾗｲﾌﾞ情報の取得に失敗しました。"),
    (1, "kHardwareRevisionMismatch",
     "\nHardware Revision is not matched.",
     "\nﾊｰﾄﾞｳｪｱﾘﾋﾞｼﾞｮﾝが一致しません。"),
    (2, "kForcedUpdateContinues",
     "\nContinue because Force Update option is specified.",
     "\n強制ｱｯﾌﾟﾃﾞｰﾄｵﾌﾟｼｮﾝが指定されているので続行します。"),
    (3, "kNormalModelMismatch",
     "\nModel name of normal part is not matched.",
     "\n通常ﾓｰﾄﾞ部分の機種型番が一致しません。"),
    (4, "kFirmwareAlreadyLatestVersion",
     "\nFW is already latest version.",
     "\nﾌｧｰﾑｳｪｱはすでに最新ﾊﾞｰｼﾞｮﾝです。"),
    (5, "kDiscInDrive",
     "\nDisc is inserted into DVD-RW.\nPlease eject a disc.",
     "\nDVD-RWﾄﾞﾗｲﾌﾞの中にﾃﾞｨｽｸがあります\nｲｼﾞｪｸﾄしてください。"),
    (6, "kDriveBecomingReady",
     "\nError : Drive is now becoming ready.\nPlease eject the disc",
     "\nﾄﾞﾗｲﾌﾞはｾｯﾄｱｯﾌﾟ中です。\nﾃﾞｨｽｸをｲｼﾞｪｸﾄしてください。"),
    (7, "kUnknownError",
     "\nError : Unknown Error is occurred.",
     "\n不明なｴﾗｰが発生しました。"),
    (8, "kRequestSenseDenied",
     "\nError : Request Sense commnad has denyed.",
     "\nｴﾗｰｺｰﾄﾞ取得のｺﾏﾝﾄﾞが失敗しました。"),
    (9, "kInquiryFailed",
     "\nFailed to execute Inquiry Command.",
     "\nInquiryｺﾏﾝﾄﾞが失敗しました。"),
    (10, "kKernelUpdateNotNeeded",
     "\nNeed not to update the Kernel.",
     "\nｶｰﾈﾙはｱｯﾌﾟﾃﾞｰﾄする必要がありません。"),
    (11, "kBinaryFileLoadFailed",
     "\r\nFailed to load binary file.\r\n(File Name : %.12s)",
     "\r\nﾊﾞｲﾅﾘﾌｧｲﾙの読み込みに失敗しました。\r\n(ファイル名 : %.12s)"),
    (12, "kUpdateSucceeded",
     "\nSuccess to update the firmware.",
     "\nﾌｧｰﾑｳｪｱのﾊﾞｰｼﾞｮﾝｱｯﾌﾟは成功しました。"),
    (13, "kMemoryAllocationFailed",
     "\nMemory allocation error.  Terminating program\n",
     "\nﾒﾓﾘの割付に失敗しました。\u3000ﾌﾟﾛｸﾞﾗﾑを中断します。\n"),
    (14, "kEnterKernelModeFailed",
     "\nFailed to move to the kernel mode.",
     "\nｶｰﾈﾙﾓｰﾄﾞへの切替に失敗しました。"),
    (15, "kEnterNormalModeFailed",
     "\nFailed to move to the normal mode.",
     "\nﾉｰﾏﾙﾓｰﾄﾞへの切替に失敗しました。"),
    (16, "kHexStartMissing",
     "\r\nStart Charactor is not fouund.",
     "\r\nHEXﾌｧｲﾙのｽﾀｰﾄｷｬﾗｸﾀが見つかりません。"),
    (17, "kFirmwareFileLoaded",
     "\r\nF/W file load success.",
     "\r\nﾌｧｰﾑｳｪｱのﾌｧｲﾙの読込みが成功しました。"),
    (18, "kReserved18", None, None),
    (19, "kPatchLoaded",
     "\r\nG6 Patch load success.",
     "\r\n第6世代用ﾊﾟｯﾁｺｰﾄﾞのﾛｰﾄﾞが成功しました"),
    (20, "kHexFileLoadFailed",
     "\r\nFailed to load HEX file.",
     "\r\nHEXﾌｧｲﾙの読込みに失敗しました。"),
    (21, "kPatchFileLoadFailed",
     "\r\nFailed to load Patch file.",
     "\r\nﾊﾟｯﾁﾌｧｲﾙの読込みに失敗しました。"),
    (22, "kEnterUpdateModeFailed",
     "\r\nFailed to move to the update mode.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄﾓｰﾄﾞへの切替に失敗しました。"),
    (23, "kTransferFailed",
     "\r\nFailed to transfer the FW code.",
     "\r\nﾌｧｰﾑｳｪｱｺｰﾄﾞの転送に失敗しました。"),
    (24, "kFirmwareUpdateFailed",
     "\r\nFailed to update FW.",
     "\r\nﾌｧｰﾑｳｪｱのｱｯﾌﾟﾃﾞｰﾄに失敗しました。"),
    (25, "kVerifyFailed",
     "\r\nVerify error occured.",
     "\r\nﾍﾞﾘﾌｧｲｴﾗｰが発生しました。"),
    (26, "kCurrentFirmwareOtherMaker",
     "\r\nCurrent Firmware is not Kestrel Model.",
     "\r\n現状のﾌｧｰﾑｳｪｱはKestrelﾓﾃﾞﾙのものではありません。"),
    (27, "kSelectedFileOtherMaker",
     "\r\nSelected Firmware File is not Kestrel Model Firmware.",
     "\r\n選択されたﾌｧｰﾑｳｪｱのﾌｧｲﾙはKestrelﾓﾃﾞﾙ用ではありません。"),
    (28, "kNoTarget",
     "\r\nAvailable target is not found.",
     "\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞがありません。"),
    (29, "kReserved29", None, None),
    (30, "kReferenceFileIllegal",
     "\r\nRefernce file is illegal.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄ定義ﾌｧｲﾙの内容が不正です。"),
    (31, "kAskUpdateAllDrives",
     "\r\n%d target device(s) is found.\r\nDo you want to update all drives ?",
     "\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞが%d台見つかりました。\r\nすべてのﾄﾞﾗｲﾌﾞを自動的にｱｯﾌﾟﾃﾞｰﾄしますか？"),
    (32, "kAskUpdateDrive",
     "\r\nDo you want to update ID=%d drive to Ver%.4s ?\r\nCurrent FW : %.24s %.4s",
     "\r\nID=%dのﾄﾞﾗｲﾌﾞをVer%.4sにｱｯﾌﾟﾃﾞｰﾄしますか？\r\n現在 : %.24s %.4s"),
    (33, "kCanceledByUser",
     "\r\nThe update operation is canceled by user.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄはｷｬﾝｾﾙされました。"),
    (34, "kStartingDevice",
     "\r\nStart updating the device No.%d.",
     "\r\n%d台目のﾄﾞﾗｲﾌﾞのｱｯﾌﾟﾃﾞｰﾄを開始します。"),
    (35, "kUpdateCompleted",
     "\r\nUpdate operation is completed.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑは完了しました。"),
    (36, "kTerminatedByError",
     "\r\nUpdate program is terminated by occuring an error.\r\n",
     "\r\nｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑはｴﾗｰが発生し終了しました。\r\n"),
    (37, "kKernelModelMismatch",
     "\r\nModel name of kernel part is not macthed.",
     "\r\nｶｰﾈﾙﾓ-ﾄﾞ部分の機種型番が一致しません。"),
    (38, "kReserved38", None, None),
    (39, "kIllegalKernelFile",
     "\r\nSelected file is illegal kernel file.",
     "\r\n選択されたﾌｧｲﾙはｶｰﾈﾙﾓｰﾄﾞのﾌｧｲﾙではありません。"),
    (40, "kIllegalFirmwareFile",
     "\r\nSelected file is illegal fw file.",
     "\r\n選択されたﾌｧｲﾙはこのﾄﾞﾗｲﾌﾞのﾌｧｰﾑｳｪｱﾌｧｲﾙではありません。"),
    (41, "kKernelPartUpdateFailed",
     "\r\nFailed to update the kernel part.",
     "\r\nｶｰﾈﾙ部分のｱｯﾌﾟﾃﾞｰﾄに失敗しました。"),
    (42, "kNormalPartUpdateFailed",
     "\r\nFailed to update the normal part.",
     "\r\n通常部分のｱｯﾌﾟﾃﾞｰﾄに失敗しました。"),
    (43, "kReserved43", None, None),
    (44, "kRebootingWithNewFirmware",
     "\r\nNow internal rebooting with new firmware....",
     "\r\n新しいﾌｧｰﾑｳｪｱでﾄﾞﾗｲﾌﾞを再起動中です。"),
    (45, "kFirmwareAlreadyThisVersion",
     "\nFW is already Ver%.4s.",
     "\nﾌｧｰﾑｳｪｱはすでにVer%.4sです。"),
    (46, "kAskIrreversibleUpdate",
     "\nAfter you change the firmware to ver%.4s, \r\nyou can not change the firmware to old version.\r\nDo you proceed to update ?",
     "\nﾌｧｰﾑｳｪｱをVer%.4sにしてしまうと以前のﾊﾞｰｼﾞｮﾝには戻せなくなります。\r\nﾊﾞｰｼﾞｮﾝｱｯﾌﾟを続行しますか？"),
    (47, "kAskRetryAfterNormalModeFailed",
     "\nFailed to move to the normal mode.\r\nDo you retry to update ?",
     "\nﾉｰﾏﾙﾓｰﾄﾞへの切替に失敗しました。\r\n再度ｱｯﾌﾟﾃﾞｰﾄを行いますか？"),
    (48, "kIntelDriverDetected",
     "\r\nDetect the Intel's IDE driver.",
     "\r\nIntel社のIDEﾄﾞﾗｲﾊﾞを検出しました。"),
    (49, "kCurrentFirmwareUnsupported",
     "\r\nCurrent Firmware is not supported by this program.",
     "\r\n現状のﾌｧｰﾑｳｪｱはこのﾌﾟﾛｸﾞﾗﾑでｻﾎﾟｰﾄされているものではありません。"),
    (50, "kSelectedFileUnsupported",
     "\r\nSelected Firmware File is not supported by this program.",
     "\r\n選択されたﾌｧｰﾑｳｪｱのﾌｧｲﾙはこのﾌﾟﾛｸﾞﾗﾑでｻﾎﾟｰﾄしているものではありません。"),
    (51, "kBusResetting",
     "\r\nBus Reset executing...",
     "\r\nﾊﾞｽﾘｾｯﾄ実行中..."),
    (52, "kIeee1394Detected",
     "\r\nDetect the IEEE1394 interface.",
     "\r\nIEEE1394ﾄﾞﾗｲﾊﾞを検出しました。"),
    (53, "kAutoInsertNotificationEnabled",
     "\r\n\"Auto insert notification\" is enabled at the target DVD-RW drive.\r\nPlease disable \"Auto insert notification\" by the Device Manager of System properties and reboot your PC.\r\nAfter that, re-exxecute this program.",
     "\r\n対象のﾄﾞﾗｲﾌﾞの「挿入の自動通知」が有効になっています。\r\nｼｽﾃﾑのﾌﾟﾛﾊﾟﾃｨの中のﾃﾞﾊﾞｲｽﾏﾈｰｼﾞｬで\r\n対象のﾄﾞﾗｲﾌﾞの「挿入の自動通知」をOFFにして再起動した後に\r\n再度実行してください"),
    (54, "kFirmwareAlreadyLatest",
     "\r\nFW is already latest.",
     "\r\nﾌｧｰﾑｳｪｱはすでに最新です。"),
    (55, "kUtilityUpdateNeeded",
     "\r\nFW is already latest.\r\nIf you want to update the current firmware, \r\nthen you need to update this utility software.",
     "\r\nﾌｧｰﾑｳｪｱはすでに最新です。\r\nこのﾄﾞﾗｲﾌﾞの現在のﾌｧｰﾑｳｪｱをﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\nするためには、このｿﾌﾄ自体のﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\nが必要です。"),
    (56, "kKernelUpdateNeeded",
     "\r\nIf you want to update the current firmware, \r\nthen you need to update the kernel part of firmware.",
     "\r\nこのﾄﾞﾗｲﾌﾞの現在のﾌｧｰﾑｳｪｱをﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\nするためには、このﾄﾞﾗｲﾌﾞのｶｰﾈﾙ部分のﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\nが必要です。"),
    (57, "kFirmwareFileMismatch",
     "\r\nFirmware File is not match the current firmware.",
     "\r\n現状のﾄﾞﾗｲﾌﾞのﾌｧｰﾑｳｪｱとﾌｧｰﾑｳｪｱのﾌｧｲﾙの機種が一致しません。"),
    (58, "kSomeDrivesUpdated",
     "\r\n%ddrive(s) have been updated successfully.",
     "\r\n%d台のﾄﾞﾗｲﾌﾞをｱｯﾌﾟﾃﾞｰﾄしました。"),
    (59, "kAskReboot",
     "\r\nPlease reboot your PC now...\r\n(Yes or No)",
     "\r\nｺﾝﾋﾟｭｰﾀを再起動して下さい。\r\n(\"はい(Y)\"を選択するとPCを再起動します)"),
    (60, "kNoDriveUpdated",
     "\r\nNo drive have been accomplished to update.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄが完了したﾄﾞﾗｲﾌﾞはありません。"),
    (61, "kUpdatingKeepPowerOn",
     "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.\r\n",
     "\r\n現在ﾌｧｰﾑｳｪｱの書換え中です。電源を切ったり、ﾘｾｯﾄを行わないでください。\r\n"),
    (62, "kReserved62", None, None),
    (63, "kModelUnsupportedOnWin9x",
     "\r\nThis program does not support updating this model on Windows 98 and Windows Me.\r\nPlease try to update on Windows XP or Windows 2000.",
     "\r\nこのﾓﾃﾞﾙのWindows 98,Windows Meでのアップデートはサポートされていません。\r\nWindows XPもしくはWindows2000でアップデートを行ってください。"),
    (64, "kModelCodeMismatch",
     "\nModel code is not matched.",
     "\nﾓﾃﾞﾙｺｰﾄﾞが一致しません。"),
    (65, "kCpuTypeMismatch",
     "\nCPU type is not matched.",
     "\nCPUﾀｲﾌﾟが一致しません。"),
    (66, "kCselPolarityDiffers",
     "\r\nCSEL polality of current FW differ from new FW.",
     "\r\n現在のFWのCSELの極性ﾀｲﾌﾟが新しいFWのものと一致しません。"),
    (67, "kDefinitionFileIllegal",
     "\r\nDefinition file is illegal.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄ定義ﾌｧｲﾙの内容が不正です。"),
    (68, "kAskDespiteCselPolarity",
     "\r\nCSEL polality of current FW differ from new FW.\r\nDo you continue to update ?",
     "\r\n現在のFWのCSELの極性ﾀｲﾌﾟが新しいFWのものと一致しません。\r\nｱｯﾌﾟﾃﾞｰﾄを行いますか？"),
    (69, "kFirmwareFileTooOld",
     "\r\nSelected file is too old fw file.",
     "\r\n選択されたﾌｧｲﾙは新しいﾊﾞｰｼﾞｮﾝのﾌｧｰﾑｳｪｱﾌｧｲﾙではありません。"),
    (70, "kTurnPowerOffOnce",
     "\r\nIf you have updated from an earlier version than 0.23,\r\nthen please turn off the power once.",
     "\r\nVer0.23未満のﾊﾞｰｼﾞｮﾝからｱｯﾌﾟﾃﾞｰﾄをした場合には、\r\nｱｯﾌﾟﾃﾞｰﾄ終了後に一旦電源をOFFしてください。"),
    (71, "kReserved71", None, None),
    (72, "kKernelFileLoadFailed",
     "\r\nFailed to load kernel binary file.",
     "\r\nﾊﾞｲﾅﾘﾌｧｲﾙ(ｶｰﾈﾙ)の読み込みに失敗しました。"),
    (73, "kPreProductionFirmware",
     "\r\nThis drive has written an older revision F/W than the mass production.\r\nThis program does not support to update not mass production drive.",
     "\r\nこのﾄﾞﾗｲﾌﾞには量産前のF/Wが書き込まれています。\r\nこのｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑは量産以前のF/Wのｱｯﾌﾟﾃﾞｰﾄはサポートしていません。"),
    (74, "kHardwareChangeFailed",
     "\r\nHW change command failed !",
     "\r\nHW切り替えに失敗しました！"),
    (75, "kAskFirmwareLacksDualLayer",
     "\r\nFW of not supporting DL+R is tried to be written to HW of supporting DL+R.\r\nDo you continue to update ?",
     "\r\nDL+RをサポートしているハードウェアにDL+R未サポートのFWを書き込もうとしています。\r\nｱｯﾌﾟﾃﾞｰﾄを行いますか？"),
    (76, "kAskHardwareLacksDualLayer",
     "\r\nFW of supporting DL+R is tried to be written to HW of not supporting DL+R.\r\nDo you continue to update ?",
     "\r\nDL+R未サポートのハードウェアにDL+RサポートのFWを書き込もうとしています。\r\nｱｯﾌﾟﾃﾞｰﾄを行いますか？"),
    (77, "kScrambleInfoFailed",
     "\r\nFailed to get an information of microcode scramble.",
     "\r\nﾌｧｰﾑｳｪｱのｽｸﾗﾝﾌﾞﾙ情報の取得に失敗しました。"),
    (78, "kScrambleModeMismatch",
     "\r\nThe F/W scramble mode mismatches the choosen F/W file.",
     "\r\n動作中のﾌｧｰﾑｳｪｱのｽｸﾗﾝﾌﾞﾙﾓｰﾄﾞとﾌｧｲﾙの内容が一致しません。"),
    (79, "kReserved79", None, None),
    (80, "kExternalRomFileLoadFailed",
     "\r\nFailed to load external rom binary file.",
     "\r\nﾊﾞｲﾅﾘﾌｧｲﾙ(外部ROM)の読み込みに失敗しました。"),
    (81, "kExternalRomUpdateFailed",
     "\r\nFailed to update the external ROM part.",
     "\r\n外部ROM部分のｱｯﾌﾟﾃﾞｰﾄに失敗しました。"),
    (82, "kAskUpdateFirmware",
     "\r\nDo you want to update the F/W\r\nFrom : %.24s %.5s (20%.8s)\r\nTo : %.24s %.5s (20%.8s)",
     "\r\n%.24s %.5s (20%.8s)のﾄﾞﾗｲﾌﾞを\r\n%.24s %.5s (20%.8s)にｱｯﾌﾟﾃﾞｰﾄしますか？"),
    (83, "kIllegalFirmwareVersion",
     "\r\nFW is not leagl version.",
     "\r\nファームウェアのバージョンが正しくありません。"),
]


def c_literal(data: bytes) -> str:
    """A C string literal holding exactly these bytes.

    Every byte outside printable ASCII becomes a three-digit octal escape, so
    a following digit can never be taken into the escape, and a cp932 trail
    byte 0x5C is written as an escaped backslash.
    """
    parts = []
    for b in data:
        if b == 0x0A:
            parts.append("\\n")
        elif b == 0x0D:
            parts.append("\\r")
        elif b == 0x22:
            parts.append('\\"')
        elif b == 0x5C:
            parts.append("\\\\")
        elif 0x20 <= b < 0x7F:
            parts.append(chr(b))
        else:
            parts.append("\\%03o" % b)
    return '"' + "".join(parts) + '"'


def readable(text: str) -> str:
    return text.replace("\r", "\\r").replace("\n", "\\n").replace("\u3000", "<U+3000>")


# The header's comments show as much of each English text as fits the line,
# enough to recognise the message.
LINE_WIDTH = 100


def summary(text, room) -> str:
    if text is None:
        return "no text: shows the unknown-code text"
    line = " ".join(text.replace("\r", " ").replace("\n", " ").split())
    if len(line) + 2 > room:
        line = line[:room - 5].rstrip() + "..."
    return '"%s"' % line


def codes_header() -> str:
    out = []
    out.append("// Generated by tools/gen_catalogue.py; edit the names there.")
    out.append("// The codes of the message catalogue, named after what each message says.")
    out.append("#pragma once")
    out.append("")
    out.append("#include <cstdint>")
    out.append("")
    out.append("namespace odf {")
    out.append("")
    out.append("inline constexpr int kMessageCount = %d;  // codes 0..%d"
               % (len(MESSAGES), len(MESSAGES) - 1))
    out.append("")
    out.append("enum class MessageCode : std::int32_t {")
    for code, name, english, _ in MESSAGES:
        start = "  %s = %d,  // " % (name, code)
        out.append(start + summary(english, LINE_WIDTH - len(start)))
    out.append("};")
    out.append("")
    out.append("}  // namespace odf")
    return "\n".join(out) + "\n"


def catalogue(function, array, encoding, index, note) -> str:
    out = []
    out.append("// Generated by tools/gen_catalogue.py; edit the texts there.")
    out.append("// " + note)
    out.append('#include "core/messages.h"')
    out.append("")
    out.append("namespace odf {")
    out.append("")
    out.append("namespace {")
    out.append("")
    out.append("const char* const %s[kMessageCount] = {" % array)
    for entry in MESSAGES:
        code, text = entry[0], entry[index]
        if text is None:
            out.append("    /* %2d */ nullptr," % code)
            continue
        if encoding != "ascii":
            out.append("    // %d: %s" % (code, readable(text)))
        out.append("    /* %2d */ %s," % (code, c_literal(text.encode(encoding))))
    out.append("};")
    out.append("")
    out.append("}  // namespace")
    out.append("")
    out.append("const char* %s(int code) {" % function)
    out.append("  if (code < 0 || code >= kMessageCount) return nullptr;")
    out.append("  return %s[code];" % array)
    out.append("}")
    out.append("")
    out.append("}  // namespace odf")
    return "\n".join(out) + "\n"


def check_table():
    if [m[0] for m in MESSAGES] != list(range(84)):
        sys.exit("codes must run from 0 to 83 in order")
    names = [m[1] for m in MESSAGES]
    for name in names:
        if not re.fullmatch(r"k[A-Z][A-Za-z0-9]*", name):
            sys.exit("%s: a code's name is k followed by a capital and letters or digits" % name)
    if len(set(names)) != len(names):
        sys.exit("every code needs a name of its own")
    for code, name, english, japanese in MESSAGES:
        if (english is None) != (japanese is None):
            sys.exit("code %d has a text in one language only" % code)


def generated_files():
    """Path under the repository -> content, in the order they are written."""
    return {
        "core/message_codes.h": codes_header(),
        "core/catalogue_en.cpp": catalogue(
            "EnglishText", "kEnglish", "ascii", 2, "English message texts, codes 0 to 83."),
        "core/catalogue_ja.cpp": catalogue(
            "JapaneseText", "kJapanese", "cp932", 3,
            "Japanese message texts, codes 0 to 83, as code page 932 bytes."),
    }


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def main(argv):
    parser = argparse.ArgumentParser(
        prog="tools/gen_catalogue.py", allow_abbrev=False,
        description="Writes the message codes and catalogue texts under core/.")
    parser.add_argument("--check", action="store_true",
                        help="write nothing; exit with 1 if a generated file is stale")
    args = parser.parse_args(argv)  # an unknown option: usage on stderr, exit 2

    check_table()
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    stale = []
    for name, text in generated_files().items():
        path = os.path.join(root, name)
        content = text.encode("utf-8")
        current = read(path)
        if current == content:
            continue
        if args.check:
            state = "missing" if current is None else "out of date"
            stale.append("%s: %s is %s" % (parser.prog, name, state))
            continue
        # Files already up to date are left alone, so the build does not
        # recompile what did not change.
        with open(path, "wb") as f:
            f.write(content)
    if stale:
        for line in stale:
            print(line, file=sys.stderr)
        print("%s: run python3 tools/gen_catalogue.py and commit the result" % parser.prog,
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
