#!/usr/bin/env bash
# odflsh-sim held byte for byte: each row of the table below runs in a fresh
# folder, and its exit code, the files it leaves there (name, size, CRC-32),
# its standard error and its standard output must equal the stored
# tests/golden/sim/NAME.txt. A refactor that claims to change nothing runs
# this unchanged; a deliberate change rewrites the stored files with
#   bash tests/scripts/sim_golden.sh --regenerate build/linux/odflsh-sim
# and the diff of tests/golden/ shows what it changed.
# ODFLSH_GOLDEN_ONLY=REGEX runs only the rows whose name matches.
set -u

regenerate=0
if [[ ${1:-} == --regenerate ]]; then
  regenerate=1
  shift
fi
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd) || exit 1
golden=$here/../golden/sim
source "$here/common.sh"
export LC_ALL=C

# Definitions the rows use, as odflsh-sim --definition takes them.
qbc='fileName=S1003431.104,vendor=KESTREL,product=BD-ROM  QBC-850,extension=BIN,imageSize=1880576,'
qbc+='familyCode=0x4003,updateScope=1,minimumImageDate=0x20080110,checksum=0xC23AD8B9,vendorTag=KES_ADV'
qrw1='fileName=Q7300122.BIN,vendor=KESTREL,product=DVD-RW  QRW-730,extension=BIN,imageSize=0x100000,'
qrw1+='familyCode=0x1005,updateScope=1,minimumImageDate=0x20070101,vendorTag=QRW730N'
qrw0=${qrw1/updateScope=1/updateScope=0}
qrd='fileName=QRD570.HEX,modelCode=KESTREL QRD-570,vendor=KESTREL,product=DVD-ROM QRD-570,'
qrd+='versionText=1.07,cpuType=MN103S,extension=HEX,imageSize=0x20000,familyCode=1'

# Set-ups a row may name before its run (their own output is not compared).
image() { "$sim" --make-image S1003431.104 2>/dev/null; }
qrw_image() { "$sim" --definition "$1" --make-image Q7300122.BIN --image-rev 1.30 2>/dev/null; }
qrd_files() { "$sim" --definition "$qrd" --make-image QRD570.HEX --make-patch G6PATCH.HEX 2>/dev/null; }
# The image with its SHA-256 beside it, as sha256sum writes it; one byte of
# it changed at 1,000,000, as a damaged download has it; the HEX image
# rewritten by srec_cat in its default form (extended linear addresses).
image_listed() { image && sha256sum S1003431.104 >S1003431.104.sha256; }
damage() { printf '\x35' | dd of=S1003431.104 bs=1 seek=1000000 conv=notrunc 2>/dev/null; }
qrd_srec_cat() {
  qrd_files && objcopy -I ihex -O binary --gap-fill 0xff --pad-to 0x20000 QRD570.HEX image.bin &&
    srec_cat image.bin -binary -o QRD570.HEX -intel && rm image.bin
}

# What a run left in its folder, in name order: size and CRC-32 of each
# file, a trailing / for a folder, | for a FIFO.
list_files() {
  local f
  for f in *; do
    [[ -e $f || -L $f ]] || continue
    if [[ -d $f ]]; then
      echo "$f/"
    elif [[ -p $f ]]; then
      echo "$f|"
    else
      echo "$f $(wc -c <"$f") $(crc32 "$f")"
    fi
  done
}

# One row: NAME|SET-UP (shell, - for none)|ARGUMENTS (shell words, may use
# the definitions above). The run's standard input is never a terminal, so
# the questions the answers do not cover are answered yes.
run_row() {
  local name=$1 setup=$2 args=$3 dir="$work/$1" rc
  mkdir "$dir" && cd "$dir" || exit 1
  if [[ $setup != - ]] && ! eval "$setup" >/dev/null; then
    fail "$name: set-up '$setup' failed"
    cd "$work" || exit 1
    return
  fi
  eval "set -- $args"
  timeout 120 "$sim" "$@" >"$work/$name.stdout" 2>"$work/$name.stderr" </dev/null
  rc=$?
  {
    echo "args: $args"
    echo "exit: $rc"
    echo "--- files"
    list_files
    echo "--- stderr"
    sed "s|$dir|<dir>|g" "$work/$name.stderr"
    echo "--- stdout"
    cat "$work/$name.stdout"
  } >"$work/$name.txt"
  cd "$work" || exit 1
  if [[ $regenerate -eq 1 ]]; then
    cp "$work/$name.txt" "$golden/$name.txt"
  elif [[ ! -f $golden/$name.txt ]]; then
    fail "$name: no stored $golden/$name.txt (run with --regenerate)"
  elif ! cmp -s "$golden/$name.txt" "$work/$name.txt"; then
    fail "$name: differs from the stored run"
    diff -a "$golden/$name.txt" "$work/$name.txt" | head -20
  fi
}

rows=0
while IFS='|' read -r name setup args; do
  [[ -z $name || $name == \#* ]] && continue
  [[ -n ${ODFLSH_GOLDEN_ONLY:-} && ! $name =~ $ODFLSH_GOLDEN_ONLY ]] && continue
  run_row "$name" "$setup" "$args"
  rows=$((rows + 1))
done <<'EOF'
# The front end's own surface.
help|-|--help
help_short|-|-h
no_drive|-|
no_drive_aspi|-|--route aspi
no_drive_japanese|-|--oemcp 932

# The built-in definition's drive on the pass-through route.
demo|image|--drive qbc850,rev=1.00,date=07/12/01 --answers yes
default_answers|image|--drive qbc850
answers_no|image|--drive qbc850 --answers no
answers_equals|image|--answers=yes --drive=qbc850,letter=F --route=pt
two_drives_yes_no|image|--drive qbc850 --drive qbc850,letter=G --answers yes,no,yes
two_drives_no|image|--drive qbc850 --drive qbc850 --answers n,y,y
already_latest|image|--drive qbc850,rev=1.04,date=08/01/10
newer_drive|image|--drive qbc850,rev=1.05,date=2008/02/01 --answers yes,yes
other_identity|image|--drive "qbc850,rev=0.9,date=07/01/01,hw=QBC 0200,sig=OTHER_SIG,normal=QBC-851" --answers yes
no_image|-|--drive qbc850 --answers yes
image_folder|mkdir S1003431.104|--drive qbc850 --answers yes
japanese|image|--oemcp 932 --drive qbc850 --answers yes
trace_pt|image|--route pt --drive qbc850 --answers yes --trace
no_address|image|--drive qbc850,noaddr=1 --answers yes
disc_loaded|image|--drive qbc850,disc=1 --trace
becoming_ready|image|--drive qbc850,ready=becoming --answers yes
not_ready|image|--drive qbc850,ready=notready --answers yes
no_medium|image|--drive qbc850,ready=nomedium,disc=1,ready=disc --answers yes
kernel_start|image|--drive qbc850,kernel=1,checksum=1234ABCD --answers yes,yes --trace
unit_attention|image|--drive qbc850,ua=3 --answers yes --trace

# Faults by rule.
refused_switch|image|--drive qbc850,fail=writebuf/4/ff:5/26/0 --answers yes
refused_switch_trace|image|--drive qbc850,fail=writebuf/4/ff:5/26/0 --answers yes --trace
block_retried|image|--drive qbc850,fail=writebuf/7/f0@3:4/44/0 --answers yes,yes,yes
block_then_no|image|--drive qbc850,fail=writebuf/7/f0@1:4/44/0 --answers yes,yes,no
block_timeout|image|--drive qbc850,fail=writebuf/7/f0@2:timeout --answers yes --trace
inquiry_transport|image|--drive qbc850,fail=inquiry:transport --trace
inquiry_short|image|--drive qbc850,fail=inquiry:short=8 --trace
inquiry_no_revision|image|--drive qbc850,fail=inquiry@0:short=32 --drive qbc850 --answers yes --trace
inquiry_no_revision_aspi|image|--route aspi --drive qbc850,fail=inquiry@0:short=34 --trace
readbuf_short|image|--drive qbc850,fail=readbuf:short=4 --answers yes --trace
tur_every|image|--drive qbc850,fail=tur@0:2/3a/0 --answers yes
hex_opcode|image|--drive qbc850,fail=0x12@2:6/29/0 --answers yes --trace
startstop|image|--drive qbc850,fail=startstop:2/4/1 --answers yes
two_faults|image|--drive qbc850,fail=writebuf/7/f0@2:4/44/0,fail=writebuf/7/f0@4:3/0c/0 --answers yes,yes,yes,yes
every_block_fails|image|--drive qbc850,fail=writebuf/7/f0@0:4/44/0
readback_cut_retry_finds_update|image|--drive qbc850,fail=inquiry@5:short=8 --answers yes --trace
attention_four_times|image|--drive qbc850,fail=readbuf/2/f1@3:6/29/0,fail=readbuf/2/f1@4:6/29/0,fail=readbuf/2/f1@5:6/29/0,fail=readbuf/2/f1@6:6/29/0 --answers yes --trace
keeps_old_firmware|image|--drive qbc850,keepold=1 --answers yes

# A drive the run leaves in its kernel is named last, and the run ends with exit 1.
kernel_info_short|image|--drive qbc850,kernel=1,fail=readbuf/2/f1@0:short=16 --answers yes
kernel_info_sense|image|--drive qbc850,kernel=1,fail=readbuf/2/f1@0:4/44/0 --answers yes
kernel_info_timeout|image|--drive qbc850,kernel=1,fail=readbuf/2/f1@0:timeout --answers yes --trace
kernel_info_select|image|--drive qbc850,kernel=1,fail=readbuf/2/f1@2:transport --answers yes
kernel_info_pass|image|--drive qbc850,kernel=1,fail=readbuf/2/f1@3:4/44/0 --answers yes
kernel_info_japanese|image|--oemcp 932 --drive qbc850,kernel=1,fail=readbuf/2/f1@0:timeout --answers yes
kernel_then_normal_drive|image|--drive qbc850,kernel=1,fail=readbuf/2/f1@0:4/44/0 --drive qbc850,letter=E --answers yes,yes
kernel_unconfirmed|image|--drive qbc850,fail=inquiry@4:short=32 --answers yes --trace
kernel_switch_timeout|image|--drive qbc850,fail=writebuf/4/ff:timeout --answers yes

# The ASPI route on Windows 98, and the host checks.
aspi|image|--route aspi --drive qbc850 --drive qbc850,target=3 --trace
aspi_places|image|--route aspi --drive qbc850,adapter=2,target=5 --drive qbc850 --answers yes,yes
aspi_refused_switch|image|--route aspi --drive qbc850,fail=writebuf/4/ff:5/26/0 --answers yes --trace
aspi_timeout|image|--route aspi --drive qbc850,fail=writebuf/7/f0@5:timeout --answers yes,no --trace
host_iaa|image|--host iaa --drive qbc850,rev=1.04,date=08/01/10
host_ultraata|image|--host ultraata --drive qbc850 --answers yes,yes
host_both|image|--host iaa --host=ultraata --drive qbc850 --answers yes,no
aspi_intelata|image|--route aspi --host intelata --drive qbc850 --answers yes
aspi_intelata_no|image|--route aspi --host intelata --drive qbc850 --answers no
aspi_bridge|image|--route aspi --host bridge=1 --drive qbc850,rev=1.04,date=08/01/10
aspi_bridge_own|image|--route aspi --host bridge=0 --drive qbc850 --answers yes,yes --trace
aspi_intelata_bridge|image|--route aspi --host intelata,bridge=1 --drive qbc850 --drive qbc850,adapter=1 --answers yes,yes,yes
intelata_not_ready|image|--route aspi --host intelata --drive qbc850,fail=writebuf/7/f0@3:2/4/1 --answers yes,no --trace
intelata_retried|image|--route aspi --host intelata --drive qbc850,fail=writebuf/7/f0@3:2/3a/0 --answers yes,yes,yes
bridge_block_aborted|image|--route aspi --host bridge=0 --drive qbc850,fail=writebuf/7/f0@2:timeout --answers yes --trace
bridge_abort_refused|image|--route aspi --host bridge=0,abort=refuse --drive qbc850,fail=writebuf/7/f0@2:timeout --answers yes --trace
host_abort_pt|-|--host abort=ignore --drive qbc850

# Other definitions given on the command line.
definition_builtin_like|image|--definition "$qbc" --drive qbc850 --answers yes
definition_two|image|--definition "$qbc" --definition "$qrw1" --drive qbc850 --drive qrw730 --answers yes,yes,yes
definition_no_match|image|--definition "$qrw1" --drive qbc850 --answers yes
qrw730_scope1|qrw_image "$qrw1"|--definition "$qrw1" --drive qrw730,rev=1.22,handshake=1 --answers yes --trace
qrw730_scope0_aspi|qrw_image "$qrw0"|--route aspi --definition "$qrw0" --drive qrw730,rev=1.22,handshake=1 --answers yes --trace
qrw730_no_handshake|qrw_image "$qrw1"|--definition "$qrw1" --drive qrw730,rev=1.22,handshake=0 --answers yes --trace
qrw730_kernel_qbw|qrw_image "$qrw1"|--definition "$qrw1" --drive qrw730,rev=1.22,handshake=1,kernelid=qbw --answers yes
qrw730_family|qrw_image "$qrw1"|--definition "$qrw1" --drive qrw730,rev=1.22,family=0x1041 --answers yes
qrw710_builtin|image|--drive qrw710 --drive qrw720 --answers yes
qrd570_pt|qrd_files|--definition "$qrd" --drive qrd570,rev=1.05 --trace
qrd570_g6_aspi|qrd_files|--route aspi --definition "$qrd" --drive qrd570,rev=1.06 --trace
qrd570_no_patch|"$sim" --definition "$qrd" --make-image QRD570.HEX 2>/dev/null|--definition "$qrd" --drive qrd570,rev=1.06
qrd570_unrecognised|qrd_files|--definition "$qrd" --drive qrd570,ident=none --trace
qrd570_ident|qrd_files|--definition "$qrd" --drive "qrd570,ident=identA,modelcode=KESTREL QRD-570,cputype=MN103S,date=2003/06/12"
qrd570_bridge_silent|qrd_files|--route aspi --host bridge=0 --definition "$qrd" --drive qrd570,rev=1.05,fail=writebuf/1/42:timeout
qrd570_with_qbc|qrd_files; image|--definition "$qrd" --definition "$qbc" --drive qrd570,letter=E --drive qbc850,letter=D --answers yes
qrd570_srec_cat|qrd_srec_cat|--definition "$qrd" --drive qrd570,rev=1.05

# Images checked against the SHA-256 their publisher gives.
sha256_list_match|image_listed|--drive qbc850 --answers yes
sha256_list_mismatch|image_listed; damage|--drive qbc850 --answers yes --trace
sha256_list_unusable|image; echo not a digest >S1003431.104.sha256|--drive qbc850 --answers yes
sha256_definition_match|image|--definition "$qbc,sha256=c3cac14af91e5257294d8e3860881f67e19eb714c47a3c48a64f3aca6d451f51" --drive qbc850 --answers yes
sha256_definition_mismatch|image; damage|--definition "$qbc,sha256=c3cac14af91e5257294d8e3860881f67e19eb714c47a3c48a64f3aca6d451f51" --drive qbc850 --answers yes
sha256_patch_mismatch|qrd_files; echo "$(printf '%064d' 0)  G6PATCH.HEX" >G6PATCH.HEX.sha256|--definition "$qrd" --drive qrd570,rev=1.06

# The fixture files.
make_image|-|--make-image S1003431.104
make_image_varied|-|--make-image S1003431.104 --image-rev 1.10 --image-date=09/02/03
make_patch|-|--make-patch G6PATCH.HEX
make_both_hex|-|--definition "$qrd" --make-image QRD570.HEX --make-patch G6PATCH.HEX
make_qrw_scope0|-|--definition "$qrw0" --make-image Q7300122.BIN --image-rev 1.30
make_qrw_scope1|-|--definition "$qrw1" --make-image=Q7300122.BIN
make_hex_too_small|-|--definition "${qrd/imageSize=0x20000/imageSize=0x800}" --make-image SMALL.HEX
make_image_folder|mkdir folder|--make-image folder
make_patch_fifo|mkfifo fifo|--make-patch fifo
make_image_and_run|image|--make-image OTHER.104 --drive qbc850

# Refused command lines: exit code 2, the reason on standard error.
unknown_option|-|--bogus
unknown_short|-|-x
positional|-|qbc850
needs_value|-|--route
needs_value_last|-|--drive qbc850 --answers
help_value|-|--help=yes
trace_value|-|--trace=1
error_after_help|-|--help --bogus
route_bad|-|--route scsi
route_case|-|--route PT
host_bad|-|--host intel
host_bridge_range|-|--host bridge=16
host_needs_aspi|-|--host intelata --drive qbc850
host_bridge_intelata|-|--route aspi --host intelata,bridge=0 --drive qbc850
oemcp_bad|-|--oemcp x
oemcp_range|-|--oemcp 65536
answers_bad|-|--answers yes,perhaps
answers_empty|-|--answers ""
drive_model|-|--drive qbc999
drive_setting|-|--drive qbc850,rev
drive_key|-|--drive qbc850,colour=red
drive_date|-|--drive qbc850,date=7/12/1
drive_letter|-|--drive qbc850,letter=12
drive_adapter|-|--drive qbc850,adapter=16
drive_target|-|--drive qbc850,target=8
drive_flag|-|--drive qbc850,disc=maybe
drive_ready|-|--drive qbc850,ready=soon
drive_checksum|-|--drive qbc850,checksum=123456789
drive_ua|-|--drive qbc850,ua=-1
fault_no_outcome|-|--drive qbc850,fail=writebuf/7/f0@2
fault_opcode|-|--drive qbc850,fail=erase:timeout
fault_sense|-|--drive qbc850,fail=tur:2/4
fault_short|-|--drive qbc850,fail=tur:short=70000
fault_parts|-|--drive qbc850,fail=writebuf/7/f0/1:timeout
letter_twice|-|--drive qbc850,letter=E --drive qbc850,letter=E
target_twice|-|--route aspi --drive qbc850,target=2 --drive qbc850,target=2
qrd_key|-|--drive qrd570,handshake=1
qrd_date|-|--drive qrd570,date=3/6/12
qrd_ident|-|--drive qrd570,ident=text2000
writer_handshake|-|--drive qrw730,handshake=yes
writer_kernelid|-|--drive qrw720,kernelid=qbc
writer_family|-|--drive qrw710,family=0x10000
definition_field|-|--definition fileNam=Q7300122.BIN
definition_width|-|--definition vendor=KESTREL_INC
definition_number|-|--definition familyCode=0x10O5
definition_twice|-|--definition vendor=A,vendor=B
definition_item|-|--definition vendor
definition_sha256|-|--definition "$qbc,sha256=c3cac14af9"
definition_nine|-|--definition "$qbc" --definition "$qbc" --definition "$qbc" --definition "$qbc" --definition "$qbc" --definition "$qbc" --definition "$qbc" --definition "$qbc" --definition "$qbc"
make_image_empty|-|--make-image=
make_patch_empty|-|--make-patch ""
image_rev_bad|-|--image-rev 1.1
image_date_bad|-|--image-date 2008/01/10
make_image_fit|-|--definition "${qrw0/fileName=Q7300122.BIN/fileName=Q7.BIN}" --make-image X.BIN
EOF

if [[ $regenerate -eq 1 ]]; then
  echo "regenerated $rows rows in $golden"
  exit 0
fi
[[ $failures -eq 0 ]] && echo "ok   golden ($rows rows)"
exit $((failures > 0))
