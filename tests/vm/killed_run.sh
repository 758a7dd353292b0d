#!/bin/sh
# Inside the test machine: an update of /dev/sr0 killed outright (SIGKILL)
# once BLOCKS image blocks reached the drive, then a second update run.
#   killed_run.sh PROGRAM BLOCKS
# Leaves in the current folder the drive's media polling before the first
# run (poll.before), after the kill (poll.killed) and after the second run
# (poll.after), what /run/odflsh held after the kill (record) and after the
# second run (record.after), the first run's exit code (first.rc) and
# outputs (first.out, first.err); the second run's outputs are this
# script's, and so is its exit code.
program=$1
blocks=$2
poll=/sys/block/sr0/events_poll_msecs
trace=/sys/kernel/tracing/trace

cat "$poll" >poll.before
"$program" --yes </dev/null >first.out 2>first.err &
pid=$!
# Image blocks are WRITE BUFFER mode 7; the trace counts what the drive got.
# They follow each other within milliseconds: the trace is read without pause.
while [ "$(grep -c 'raw=3b 07 ' "$trace")" -lt "$blocks" ]; do
  kill -0 "$pid" 2>/dev/null || break
done
kill -KILL "$pid"
wait "$pid"
echo "$?" >first.rc
cat "$poll" >poll.killed
records() {
  for record in /run/odflsh/*; do
    [ -e "$record" ] && echo "$record: $(cat "$record")"
  done
}
records >record
"$program" --yes </dev/null
rc=$?
cat "$poll" >poll.after
records >record.after
exit "$rc"
