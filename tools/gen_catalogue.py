#!/usr/bin/env python3
"""Writes core/catalogue_en.cpp and core/catalogue_ja.cpp from the texts below.

The Japanese texts are kept here in readable form and written out as code
page 932 (Shift JIS) byte strings, each next to its readable text in a
comment. Half-width katakana stay half-width, one byte each. Run it after
editing a text:

    python3 tools/gen_catalogue.py
"""

import os
import sys

# (code, English text, Japanese text); None for codes that have no text and
# show the unknown-code text instead.
MESSAGES = [
    (0,
     "\nFailed to get a drive information.",
     "\nﾄﾞﾗｲﾌﾞ情報の取得に失敗しました。"),
    (1,
     "\nHardware Revision is not matched.",
     "\nﾊｰﾄﾞｳｪｱﾘﾋﾞｼﾞｮﾝが一致しません。"),
    (2,
     "\nContinue because Force Update option is specified.",
     "\n強制ｱｯﾌﾟﾃﾞｰﾄｵﾌﾟｼｮﾝが指定されているので続行します。"),
    (3,
     "\nModel name of normal part is not matched.",
     "\n通常ﾓｰﾄﾞ部分の機種型番が一致しません。"),
    (4,
     "\nFW is already latest version.",
     "\nﾌｧｰﾑｳｪｱはすでに最新ﾊﾞｰｼﾞｮﾝです。"),
    (5,
     "\nDisc is inserted into DVD-RW.\nPlease eject a disc.",
     "\nDVD-RWﾄﾞﾗｲﾌﾞの中にﾃﾞｨｽｸがあります\nｲｼﾞｪｸﾄしてください。"),
    (6,
     "\nError : Drive is now becoming ready.\nPlease eject the disc",
     "\nﾄﾞﾗｲﾌﾞはｾｯﾄｱｯﾌﾟ中です。\nﾃﾞｨｽｸをｲｼﾞｪｸﾄしてください。"),
    (7,
     "\nError : Unknown Error is occurred.",
     "\n不明なｴﾗｰが発生しました。"),
    (8,
     "\nError : Request Sense commnad has denyed.",
     "\nｴﾗｰｺｰﾄﾞ取得のｺﾏﾝﾄﾞが失敗しました。"),
    (9,
     "\nFailed to execute Inquiry Command.",
     "\nInquiryｺﾏﾝﾄﾞが失敗しました。"),
    (10,
     "\nNeed not to update the Kernel.",
     "\nｶｰﾈﾙはｱｯﾌﾟﾃﾞｰﾄする必要がありません。"),
    (11,
     "\r\nFailed to load binary file.\r\n(File Name : %.12s)",
     "\r\nﾊﾞｲﾅﾘﾌｧｲﾙの読み込みに失敗しました。\r\n(ファイル名 : %.12s)"),
    (12,
     "\nSuccess to update the firmware.",
     "\nﾌｧｰﾑｳｪｱのﾊﾞｰｼﾞｮﾝｱｯﾌﾟは成功しました。"),
    (13,
     "\nMemory allocation error.  Terminating program\n",
     "\nﾒﾓﾘの割付に失敗しました。\u3000ﾌﾟﾛｸﾞﾗﾑを中断します。\n"),
    (14,
     "\nFailed to move to the kernel mode.",
     "\nｶｰﾈﾙﾓｰﾄﾞへの切替に失敗しました。"),
    (15,
     "\nFailed to move to the normal mode.",
     "\nﾉｰﾏﾙﾓｰﾄﾞへの切替に失敗しました。"),
    (16,
     "\r\nStart Charactor is not fouund.",
     "\r\nHEXﾌｧｲﾙのｽﾀｰﾄｷｬﾗｸﾀが見つかりません。"),
    (17,
     "\r\nF/W file load success.",
     "\r\nﾌｧｰﾑｳｪｱのﾌｧｲﾙの読込みが成功しました。"),
    (18, None, None),
    (19,
     "\r\nG6 Patch load success.",
     "\r\n第6世代用ﾊﾟｯﾁｺｰﾄﾞのﾛｰﾄﾞが成功しました"),
    (20,
     "\r\nFailed to load HEX file.",
     "\r\nHEXﾌｧｲﾙの読込みに失敗しました。"),
    (21,
     "\r\nFailed to load Patch file.",
     "\r\nﾊﾟｯﾁﾌｧｲﾙの読込みに失敗しました。"),
    (22,
     "\r\nFailed to move to the update mode.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄﾓｰﾄﾞへの切替に失敗しました。"),
    (23,
     "\r\nFailed to transfer the FW code.",
     "\r\nﾌｧｰﾑｳｪｱｺｰﾄﾞの転送に失敗しました。"),
    (24,
     "\r\nFailed to update FW.",
     "\r\nﾌｧｰﾑｳｪｱのｱｯﾌﾟﾃﾞｰﾄに失敗しました。"),
    (25,
     "\r\nVerify error occured.",
     "\r\nﾍﾞﾘﾌｧｲｴﾗｰが発生しました。"),
    (26,
     "\r\nCurrent Firmware is not Kestrel Model.",
     "\r\n現状のﾌｧｰﾑｳｪｱはKestrelﾓﾃﾞﾙのものではありません。"),
    (27,
     "\r\nSelected Firmware File is not Kestrel Model Firmware.",
     "\r\n選択されたﾌｧｰﾑｳｪｱのﾌｧｲﾙはKestrelﾓﾃﾞﾙ用ではありません。"),
    (28,
     "\r\nAvailable target is not found.",
     "\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞがありません。"),
    (29, None, None),
    (30,
     "\r\nRefernce file is illegal.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄ定義ﾌｧｲﾙの内容が不正です。"),
    (31,
     "\r\n%d target device(s) is found.\r\nDo you want to update all drives ?",
     "\r\nこのﾌﾟﾛｸﾞﾗﾑで利用可能なﾄﾞﾗｲﾌﾞが%d台見つかりました。\r\nすべてのﾄﾞﾗｲﾌﾞを自動的にｱｯﾌﾟﾃﾞｰﾄしますか？"),
    (32,
     "\r\nDo you want to update ID=%d drive to Ver%.4s ?\r\nCurrent FW : %.24s %.4s",
     "\r\nID=%dのﾄﾞﾗｲﾌﾞをVer%.4sにｱｯﾌﾟﾃﾞｰﾄしますか？\r\n現在 : %.24s %.4s"),
    (33,
     "\r\nThe update operation is canceled by user.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄはｷｬﾝｾﾙされました。"),
    (34,
     "\r\nStart updating the device No.%d.",
     "\r\n%d台目のﾄﾞﾗｲﾌﾞのｱｯﾌﾟﾃﾞｰﾄを開始します。"),
    (35,
     "\r\nUpdate operation is completed.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑは完了しました。"),
    (36,
     "\r\nUpdate program is terminated by occuring an error.\r\n",
     "\r\nｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑはｴﾗｰが発生し終了しました。\r\n"),
    (37,
     "\r\nModel name of kernel part is not macthed.",
     "\r\nｶｰﾈﾙﾓ-ﾄﾞ部分の機種型番が一致しません。"),
    (38, None, None),
    (39,
     "\r\nSelected file is illegal kernel file.",
     "\r\n選択されたﾌｧｲﾙはｶｰﾈﾙﾓｰﾄﾞのﾌｧｲﾙではありません。"),
    (40,
     "\r\nSelected file is illegal fw file.",
     "\r\n選択されたﾌｧｲﾙはこのﾄﾞﾗｲﾌﾞのﾌｧｰﾑｳｪｱﾌｧｲﾙではありません。"),
    (41,
     "\r\nFailed to update the kernel part.",
     "\r\nｶｰﾈﾙ部分のｱｯﾌﾟﾃﾞｰﾄに失敗しました。"),
    (42,
     "\r\nFailed to update the normal part.",
     "\r\n通常部分のｱｯﾌﾟﾃﾞｰﾄに失敗しました。"),
    (43, None, None),
    (44,
     "\r\nNow internal rebooting with new firmware....",
     "\r\n新しいﾌｧｰﾑｳｪｱでﾄﾞﾗｲﾌﾞを再起動中です。"),
    (45,
     "\nFW is already Ver%.4s.",
     "\nﾌｧｰﾑｳｪｱはすでにVer%.4sです。"),
    (46,
     "\nAfter you change the firmware to ver%.4s, \r\nyou can not change the firmware to old version.\r\nDo you proceed to update ?",
     "\nﾌｧｰﾑｳｪｱをVer%.4sにしてしまうと以前のﾊﾞｰｼﾞｮﾝには戻せなくなります。\r\nﾊﾞｰｼﾞｮﾝｱｯﾌﾟを続行しますか？"),
    (47,
     "\nFailed to move to the normal mode.\r\nDo you retry to update ?",
     "\nﾉｰﾏﾙﾓｰﾄﾞへの切替に失敗しました。\r\n再度ｱｯﾌﾟﾃﾞｰﾄを行いますか？"),
    (48,
     "\r\nDetect the Intel's IDE driver.",
     "\r\nIntel社のIDEﾄﾞﾗｲﾊﾞを検出しました。"),
    (49,
     "\r\nCurrent Firmware is not supported by this program.",
     "\r\n現状のﾌｧｰﾑｳｪｱはこのﾌﾟﾛｸﾞﾗﾑでｻﾎﾟｰﾄされているものではありません。"),
    (50,
     "\r\nSelected Firmware File is not supported by this program.",
     "\r\n選択されたﾌｧｰﾑｳｪｱのﾌｧｲﾙはこのﾌﾟﾛｸﾞﾗﾑでｻﾎﾟｰﾄしているものではありません。"),
    (51,
     "\r\nBus Reset executing...",
     "\r\nﾊﾞｽﾘｾｯﾄ実行中..."),
    (52,
     "\r\nDetect the IEEE1394 interface.",
     "\r\nIEEE1394ﾄﾞﾗｲﾊﾞを検出しました。"),
    (53,
     "\r\n\"Auto insert notification\" is enabled at the target DVD-RW drive.\r\nPlease disable \"Auto insert notification\" by the Device Manager of System properties and reboot your PC.\r\nAfter that, re-exxecute this program.",
     "\r\n対象のﾄﾞﾗｲﾌﾞの「挿入の自動通知」が有効になっています。\r\nｼｽﾃﾑのﾌﾟﾛﾊﾟﾃｨの中のﾃﾞﾊﾞｲｽﾏﾈｰｼﾞｬで\r\n対象のﾄﾞﾗｲﾌﾞの「挿入の自動通知」をOFFにして再起動した後に\r\n再度実行してください"),
    (54,
     "\r\nFW is already latest.",
     "\r\nﾌｧｰﾑｳｪｱはすでに最新です。"),
    (55,
     "\r\nFW is already latest.\r\nIf you want to update the current firmware, \r\nthen you need to update this utility software.",
     "\r\nﾌｧｰﾑｳｪｱはすでに最新です。\r\nこのﾄﾞﾗｲﾌﾞの現在のﾌｧｰﾑｳｪｱをﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\nするためには、このｿﾌﾄ自体のﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\nが必要です。"),
    (56,
     "\r\nIf you want to update the current firmware, \r\nthen you need to update the kernel part of firmware.",
     "\r\nこのﾄﾞﾗｲﾌﾞの現在のﾌｧｰﾑｳｪｱをﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\nするためには、このﾄﾞﾗｲﾌﾞのｶｰﾈﾙ部分のﾊﾞｰｼﾞｮﾝｱｯﾌﾟ\r\nが必要です。"),
    (57,
     "\r\nFirmware File is not match the current firmware.",
     "\r\n現状のﾄﾞﾗｲﾌﾞのﾌｧｰﾑｳｪｱとﾌｧｰﾑｳｪｱのﾌｧｲﾙの機種が一致しません。"),
    (58,
     "\r\n%ddrive(s) have been updated successfully.",
     "\r\n%d台のﾄﾞﾗｲﾌﾞをｱｯﾌﾟﾃﾞｰﾄしました。"),
    (59,
     "\r\nPlease reboot your PC now...\r\n(Yes or No)",
     "\r\nｺﾝﾋﾟｭｰﾀを再起動して下さい。\r\n(\"はい(Y)\"を選択するとPCを再起動します)"),
    (60,
     "\r\nNo drive have been accomplished to update.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄが完了したﾄﾞﾗｲﾌﾞはありません。"),
    (61,
     "\r\nNow updating the firmware.\r\nPlease do not turn off the power and do not reset the pc.\r\n",
     "\r\n現在ﾌｧｰﾑｳｪｱの書換え中です。電源を切ったり、ﾘｾｯﾄを行わないでください。\r\n"),
    (62, None, None),
    (63,
     "\r\nThis program does not support updating this model on Windows 98 and Windows Me.\r\nPlease try to update on Windows XP or Windows 2000.",
     "\r\nこのﾓﾃﾞﾙのWindows 98,Windows Meでのアップデートはサポートされていません。\r\nWindows XPもしくはWindows2000でアップデートを行ってください。"),
    (64,
     "\nModel code is not matched.",
     "\nﾓﾃﾞﾙｺｰﾄﾞが一致しません。"),
    (65,
     "\nCPU type is not matched.",
     "\nCPUﾀｲﾌﾟが一致しません。"),
    (66,
     "\r\nCSEL polality of current FW differ from new FW.",
     "\r\n現在のFWのCSELの極性ﾀｲﾌﾟが新しいFWのものと一致しません。"),
    (67,
     "\r\nDefinition file is illegal.",
     "\r\nｱｯﾌﾟﾃﾞｰﾄ定義ﾌｧｲﾙの内容が不正です。"),
    (68,
     "\r\nCSEL polality of current FW differ from new FW.\r\nDo you continue to update ?",
     "\r\n現在のFWのCSELの極性ﾀｲﾌﾟが新しいFWのものと一致しません。\r\nｱｯﾌﾟﾃﾞｰﾄを行いますか？"),
    (69,
     "\r\nSelected file is too old fw file.",
     "\r\n選択されたﾌｧｲﾙは新しいﾊﾞｰｼﾞｮﾝのﾌｧｰﾑｳｪｱﾌｧｲﾙではありません。"),
    (70,
     "\r\nIf you have updated from an earlier version than 0.23,\r\nthen please turn off the power once.",
     "\r\nVer0.23未満のﾊﾞｰｼﾞｮﾝからｱｯﾌﾟﾃﾞｰﾄをした場合には、\r\nｱｯﾌﾟﾃﾞｰﾄ終了後に一旦電源をOFFしてください。"),
    (71, None, None),
    (72,
     "\r\nFailed to load kernel binary file.",
     "\r\nﾊﾞｲﾅﾘﾌｧｲﾙ(ｶｰﾈﾙ)の読み込みに失敗しました。"),
    (73,
     "\r\nThis drive has written an older revision F/W than the mass production.\r\nThis program does not support to update not mass production drive.",
     "\r\nこのﾄﾞﾗｲﾌﾞには量産前のF/Wが書き込まれています。\r\nこのｱｯﾌﾟﾃﾞｰﾄﾌﾟﾛｸﾞﾗﾑは量産以前のF/Wのｱｯﾌﾟﾃﾞｰﾄはサポートしていません。"),
    (74,
     "\r\nHW change command failed !",
     "\r\nHW切り替えに失敗しました！"),
    (75,
     "\r\nFW of not supporting DL+R is tried to be written to HW of supporting DL+R.\r\nDo you continue to update ?",
     "\r\nDL+RをサポートしているハードウェアにDL+R未サポートのFWを書き込もうとしています。\r\nｱｯﾌﾟﾃﾞｰﾄを行いますか？"),
    (76,
     "\r\nFW of supporting DL+R is tried to be written to HW of not supporting DL+R.\r\nDo you continue to update ?",
     "\r\nDL+R未サポートのハードウェアにDL+RサポートのFWを書き込もうとしています。\r\nｱｯﾌﾟﾃﾞｰﾄを行いますか？"),
    (77,
     "\r\nFailed to get an information of microcode scramble.",
     "\r\nﾌｧｰﾑｳｪｱのｽｸﾗﾝﾌﾞﾙ情報の取得に失敗しました。"),
    (78,
     "\r\nThe F/W scramble mode mismatches the choosen F/W file.",
     "\r\n動作中のﾌｧｰﾑｳｪｱのｽｸﾗﾝﾌﾞﾙﾓｰﾄﾞとﾌｧｲﾙの内容が一致しません。"),
    (79, None, None),
    (80,
     "\r\nFailed to load external rom binary file.",
     "\r\nﾊﾞｲﾅﾘﾌｧｲﾙ(外部ROM)の読み込みに失敗しました。"),
    (81,
     "\r\nFailed to update the external ROM part.",
     "\r\n外部ROM部分のｱｯﾌﾟﾃﾞｰﾄに失敗しました。"),
    (82,
     "\r\nDo you want to update the F/W\r\nFrom : %.24s %.5s (20%.8s)\r\nTo : %.24s %.5s (20%.8s)",
     "\r\n%.24s %.5s (20%.8s)のﾄﾞﾗｲﾌﾞを\r\n%.24s %.5s (20%.8s)にｱｯﾌﾟﾃﾞｰﾄしますか？"),
    (83,
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


def write_catalogue(path, function, array, encoding, index, note):
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
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(out) + "\n")


def main():
    if [m[0] for m in MESSAGES] != list(range(84)):
        sys.exit("codes must run from 0 to 83 in order")
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    write_catalogue(os.path.join(root, "app", "catalogue_en.cpp"), "EnglishText",
                    "kEnglish", "ascii", 1, "English message texts, codes 0 to 83.")
    write_catalogue(os.path.join(root, "app", "catalogue_ja.cpp"), "JapaneseText",
                    "kJapanese", "cp932", 2,
                    "Japanese message texts, codes 0 to 83, as code page 932 bytes.")


if __name__ == "__main__":
    main()
