#!/usr/bin/env bash
# The main job: installs what is missing, builds the host and the demo agent,
# and shows two instances installed, started, supervised, stopped and removed
# under Wine, in the build's private prefix; the first keeps its agent's
# output. A third instance shows an agent that ends right after its start:
# its delayed relaunch and the event record with its last words. Cleans up
# even when interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build >/dev/null
# On a machine that runs no 32-bit code, Wine starts only 64-bit programs:
# the demo then runs the same sources built for x86_64, in a 64-bit prefix.
bin=$(scripts/runnable-build.sh ZeltAgentSvc ZeltDemoAgent ZeltProcessList 2>/dev/null)
[ "$bin" = build ] || export WINEARCH=win64

prefix="$PWD/$bin/wineprefix"
logs="$prefix/drive_c/zelt-demo"
data="$prefix/drive_c/ProgramData/ZeltAgentSvc"
# Wine's event log keeps no records: the session writes them to this file.
export ZELT_WINE_EVENTS="$PWD/$bin/demo-events.txt"
agent=ZeltDemoAgent.exe
appid=$(sed -n 's/.*ZELT_APPID_TEXT L"\(.*\)"/\1/p' src/resources/Guids.h)
started=$(date +%s)

win() { scripts/wine-run.sh "$prefix" "$@"; }
host() { win "$bin/ZeltAgentSvc.exe" "$@"; }
say() { printf '%-5s %s\n' "[$(( $(date +%s) - started ))s]" "$*"; }
now_ms() { date +%s%3N; }
state() { win sc query "$1" 2>/dev/null | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
agent_pids() {
  for image in "$agent" ZeltDemoAgent2.exe ZeltDemoAgent3.exe; do win "$bin/ZeltProcessList.exe" "$image"; done 2>/dev/null |
    cut -d' ' -f1 | tr -d '\r' | xargs
}
last_start_pid() { sed -n 's/^start pid=\([0-9]*\).*/\1/p' "$1" | tail -n 1; }
# The demo agent's clock (microseconds) of its log's Nth line starting with WORD.
agent_clock() { grep "^$2" "$1" | sed -n "$3s/.* t=\([0-9]*\).*/\1/p"; }
# The records the instance wrote, as the session's file holds them.
records() { sed -n "s/^.*:eventlog:ReportEventW L\"\(.*\)\"\r\{0,1\}\$/\1/p" "$ZELT_WINE_EVENTS" | sed 's/\\"/"/g' | grep "$1" || true; }

wait_for_state() {  # name state
  for _ in $(seq 1 200); do [ "$(state "$1")" = "$2" ] && return 0; sleep 0.05; done
  return 1
}

remove_everything() {
  for n in 1 2 3; do host /unregserver /num=$n >/dev/null 2>&1 || true; done
  for n in 1 2 3; do wait_for_state ZeltAgentSvc-$n "" || true; done
  host /unregserver >/dev/null 2>&1 || true
  for image in "$agent" ZeltDemoAgent2.exe ZeltDemoAgent3.exe; do win taskkill /f /im "$image" >/dev/null 2>&1 || true; done
  rm -rf "$data"
}

finish() {
  local rc=$?
  [ $rc -ne 0 ] && say "Interrupted or failed (exit $rc): removing what the demo installed"
  remove_everything
  scripts/wine-session.sh "$prefix" stop
  rm -f "$ZELT_WINE_EVENTS"
  exit $rc
}
trap finish EXIT
trap 'exit 130' INT TERM

rm -f "$ZELT_WINE_EVENTS"
scripts/wine-session.sh "$prefix" start
leftovers=$(for n in 1 2 3; do [ -z "$(state ZeltAgentSvc-$n)" ] || echo ZeltAgentSvc-$n; done | xargs)
[ -z "$leftovers" ] || say "Found leftovers of an earlier run ($leftovers): removing them first"
remove_everything
rm -rf "$logs" && mkdir -p "$logs"
say "Built build/ZeltAgentSvc.exe: $(file -b build/ZeltAgentSvc.exe | cut -d, -f1-2)"
[ "$bin" = build ] || say "This machine runs no 32-bit code: the demo runs $bin/ZeltAgentSvc.exe ($(file -b "$bin/ZeltAgentSvc.exe" | cut -d, -f1-2)), the same sources built for x86_64"

# Each instance adopts a running process of its agent's image name, so the
# instances run the demo agent under names of their own.
cp "$bin/$agent" "$bin/ZeltDemoAgent2.exe"
cp "$bin/$agent" "$bin/ZeltDemoAgent3.exe"
install() {  # number port image extra-agent-switches [settings]
  local cmd="$3 --port=$2 --log=C:\\zelt-demo\\agent$1.log$4"
  host /Service /port=$2 /agent=$3 "/cmd=$cmd" /num=$1 ${5:-}
  say "Installed ZeltAgentSvc-$1: port $2, agent command line \"$cmd\"${5:+, $5}"
}
install 1 5101 $agent " --chatter=3" /output=on
install 2 5102 ZeltDemoAgent2.exe " --ignore"

for n in 1 2; do
  win net start ZeltAgentSvc-$n >/dev/null 2>&1
  wait_for_state ZeltAgentSvc-$n RUNNING
  for _ in $(seq 1 100); do [ -n "$(last_start_pid "$logs/agent$n.log" 2>/dev/null)" ] && break; sleep 0.05; done
  say "Started ZeltAgentSvc-$n: $(state ZeltAgentSvc-$n), agent pid $(last_start_pid "$logs/agent$n.log")"
done
say "Agent processes running: $(agent_pids)"
say "Head of instance 1's output file C:\\ProgramData\\ZeltAgentSvc\\ZeltAgentSvc-1\\agent.log:"
for _ in $(seq 1 100); do grep -q '^err 2' "$data/ZeltAgentSvc-1/agent.log" 2>/dev/null && break; sleep 0.05; done
head -n 4 "$data/ZeltAgentSvc-1/agent.log" | sed 's/^/        /'

# An agent that ran past the crash-loop threshold (1.5 s) is relaunched at once.
old=$(last_start_pid "$logs/agent1.log")
sleep 1.6
t0=$(now_ms)
win taskkill /f /pid "$old" >/dev/null 2>&1
for _ in $(seq 1 200); do
  new=$(last_start_pid "$logs/agent1.log"); [ "$new" != "$old" ] && break; sleep 0.02
done
say "Killed agent $old of instance 1 after it ran over 1.5 s: relaunched at once as pid $new, $(( $(now_ms) - t0 )) ms after the kill"
for _ in $(seq 1 100); do host /status /num=1 | grep -q "agent $new " && break; sleep 0.05; done
say "$(host /status /num=1 | tr -d '\r')"

# An agent that ends within 1.5 s is relaunched after a delay, and the record
# of its end carries its last words.
install 3 5103 ZeltDemoAgent3.exe " --chatter=2 --exitnow" /output=on
win net start ZeltAgentSvc-3 >/dev/null 2>&1
for _ in $(seq 1 200); do [ "$(cat "$logs/agent3.log" 2>/dev/null | grep -c '^start')" -ge 2 ] && break; sleep 0.05; done
delay=$(( ($(agent_clock "$logs/agent3.log" start 2) - $(agent_clock "$logs/agent3.log" exit 1)) / 1000 ))
say "Instance 3's agent ended at once (a quick end): relaunched $delay ms after its end, not at once"
for _ in $(seq 1 100); do [ -n "$(records 'relaunched in')" ] && break; sleep 0.05; done
say "Its record (Warning, ID 10): $(records 'relaunched in' | head -n 1)"
host /unregserver /num=3 >/dev/null
wait_for_state ZeltAgentSvc-3 "" || true
say "Removed ZeltAgentSvc-3"

stop() {  # number
  local t0 t1
  t0=$(now_ms)
  win net stop ZeltAgentSvc-$1 >/dev/null 2>&1 || true
  wait_for_state ZeltAgentSvc-$1 STOPPED
  t1=$(now_ms)
  echo $(( t1 - t0 ))
}
ms=$(stop 1)
received=$(grep -c '^recv 73687574646f776e0a$' "$logs/agent1.log" || true)
ended=$(grep -c '^exit shutdown' "$logs/agent1.log" || true)
say "Stopped ZeltAgentSvc-1 in $ms ms: agent received \"shutdown\\n\" ($received time) and ended by itself ($ended exit)"

ms=$(stop 2)
ended=$(grep -c '^exit' "$logs/agent2.log" || true)
say "Stopped ZeltAgentSvc-2 in $ms ms: its agent ignored the line and was terminated ($ended clean exits)"

remove_everything
left_services=$(for n in 1 2 3; do [ -z "$(state ZeltAgentSvc-$n)" ] || echo ZeltAgentSvc-$n; done | xargs)
left_data=$([ -e "$data" ] && echo present || echo none)
left_value=$(win reg query "HKCR\\AppID\\$appid" /v LocalService >/dev/null 2>&1 && echo present || echo none)
say "Removed both instances: services left [${left_services}], LocalService ${left_value}, output folders ${left_data}, agent processes [$(agent_pids)]"
say "Demo complete"
