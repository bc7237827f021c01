#!/usr/bin/env bash
# Helpers for drills that run instances of the service from build/, each with $work/NAME.ini,
# its log to $work/NAME.stderr and its pid in $work/NAME.pid (and in the array pids). Source it.

start_instance() {  # name
  build/corvel -c "$work/$1.ini" 2>"$work/$1.stderr" &
  echo $! >"$work/$1.pid"
  pids+=($!)
}
pid_of() { cat "$work/$1.pid"; }

wait_for() {  # seconds command...: true once the command succeeds
  local limit=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$limit" ] || return 1
    sleep 0.2
  done
}
consuming() { grep -q '^consume' "$work/$1.stderr"; }
