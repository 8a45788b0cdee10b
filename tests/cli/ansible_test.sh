#!/bin/sh
# The playbook of docs/ansible under ansible-core, against this machine
# (-i localhost, -c local), on two simulated registers: one out of date, one
# on the newest firmware. Both must end on the newest firmware with their
# settings, the out-of-date one reported changed, the other ok, and the
# history file fetched.
# Usage: ansible_test.sh BIN_DIR PACKAGE PLAYBOOK
set -eu
bin=$1 package=$2 playbook=$3

if ! command -v ansible-playbook >/dev/null 2>&1; then
  echo "ansible-playbook is not installed (scripts/deps.sh installs ansible-core)" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/sim" "$work/config" "$work/xdg" "$work/state" "$work/data" "$work/tmp" "$work/lock" \
         "$work/fetched" "$work/ansible"

# Nothing of the user's own: the registers, settings and ansible's files live here.
export OSTREL_SIM_DIR="$work/sim" XDG_CONFIG_HOME="$work/config" XDG_CONFIG_DIRS="$work/xdg"
export XDG_STATE_HOME="$work/state" XDG_DATA_HOME="$work/data" TMPDIR="$work/tmp"
export ANSIBLE_HOME="$work/ansible" ANSIBLE_LOCAL_TEMP="$work/ansible/tmp" ANSIBLE_REMOTE_TEMP="$work/ansible/tmp" ANSIBLE_NOCOLOR=1
export ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_HOST_KEY_CHECKING=0 ANSIBLE_STDOUT_CALLBACK=default
export ANSIBLE_PYTHON_INTERPRETER=auto_silent
export LC_ALL=C.UTF-8 ASAN_OPTIONS=detect_leaks=0
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM || true

# No ansible.cfg of the user's or of a folder: an empty one of our own.
: >"$work/ansible.cfg"
export ANSIBLE_CONFIG="$work/ansible.cfg"

sim() { "$bin/ostrel-sim" "$@"; }
# Register 1 one firmware step behind, register 2 current; each with a setting of its own.
sim --port 1 init --serial 0000420150 --firmware A.5 --build 1300 --bootloader 160 >/dev/null
sim --port 2 init --serial 0000430150 --firmware A.6 --build 1410 --bootloader 160 >/dev/null
sim --port 1 cell 9 1 2 301 >/dev/null
sim --port 2 cell 9 1 2 302 >/dev/null
sim device add --name "Касса 2" --com 2 >/dev/null

play() {
  name=$1
  shift
  mkdir -p "$work/fetched/localhost"
  ansible-playbook -i localhost, -c local "$playbook" "$@" \
    -e "tavelin_command=$bin/tavelin" \
    -e "{\"tavelin_args\": [\"--package\", \"$package\"]}" \
    -e "{\"tavelin_environment\": {\"OSTREL_DRIVER\": \"$bin/libostrel-sim.so\", \"TAVELIN_SIM_NO_WAITS\": \"1\", \"OSTREL_SIM_FAST\": \"1\", \"TAVELIN_LOCK_DIR\": \"$work/lock\", \"XDG_STATE_HOME\": \"$XDG_STATE_HOME\"}}" \
    -e "history_dir=$work/fetched" >"$work/$name.log" 2>&1 || { cat "$work/$name.log"; echo "the playbook failed ($name)" >&2; exit 1; }
  cat "$work/$name.log"
}

fail() { echo "FAIL: $*" >&2; exit 1; }

play first
# The recap: one host, nothing failed; the update task changed it.
grep -Eq 'localhost +: ok=[0-9]+ +changed=[1-9][0-9]* +unreachable=0 +failed=0' "$work/first.log" ||
  fail "the recap does not say changed for localhost"
# Per register: the out-of-date one changed, the current one ok, with before -> after.
grep -q 'changed: \[localhost\] => (item=device 1)' "$work/first.log" || fail "register 1 is not reported changed"
grep -q 'ok: \[localhost\] => (item=device 2)' "$work/first.log" || fail "register 2 is not reported ok"
grep -q 'A.5/1300/160 -> A.6/1410/160' "$work/first.log" || fail "register 1's before -> after is not reported"

for port in 1 2; do
  show=$(sim --port "$port" show --json)
  echo "$show" | grep -q '"firmware": *"A.6"' || fail "register $port is not on A.6: $show"
  echo "$show" | grep -q '"build": *1410' || fail "register $port is not on build 1410"
  cell=$(sim --port "$port" cell 9 1 2)
  [ "$cell" = "30$port" ] || fail "register $port lost its setting: $cell"
done

if [ -f "$work/fetched/localhost/history.jsonl" ]; then
  grep -q '0000420150' "$work/fetched/localhost/history.jsonl" || fail "the history does not name register 1"
else
  fail "the history file did not arrive"
fi

# A rerun on updated registers is clean: nothing changed (the registers at once this time).
play second -e parallel=all
grep -Eq 'localhost +: ok=[0-9]+ +changed=0 +unreachable=0 +failed=0' "$work/second.log" ||
  fail "the rerun is not clean"

# A failed host says, per register, what the good ones say, and its history still arrives.
sim --port 1 fault set mode 2 >/dev/null
rm -f "$work/fetched/localhost/history.jsonl"
if ansible-playbook -i localhost, -c local "$playbook" \
    -e "tavelin_command=$bin/tavelin" \
    -e "{\"tavelin_args\": [\"--package\", \"$package\"]}" \
    -e "{\"tavelin_environment\": {\"OSTREL_DRIVER\": \"$bin/libostrel-sim.so\", \"TAVELIN_SIM_NO_WAITS\": \"1\", \"OSTREL_SIM_FAST\": \"1\", \"TAVELIN_LOCK_DIR\": \"$work/lock\", \"XDG_STATE_HOME\": \"$XDG_STATE_HOME\"}}" \
    -e "history_dir=$work/fetched" >"$work/third.log" 2>&1; then
  cat "$work/third.log"; fail "a refused register did not fail the host"
fi
cat "$work/third.log"
grep -q '(item=device 1)' "$work/third.log" || fail "the failed host does not list register 1"
grep -q 'exit code 3' "$work/third.log" || fail "the failed host does not give register 1's exit code"
[ -f "$work/fetched/localhost/history.jsonl" ] || fail "the failed host's history did not arrive"
echo "ok"
