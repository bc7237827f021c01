# The faults of scripts/nemesis.sh, which sources this file after its set-up: each fault is
# applied at its time after t0, lasts its duration and heals, and both moments go to
# $run/faults.log ("epoch n applied|healed kind target detail"). A step that fails (the process
# gone already) does not stop the fault: whatever it did must heal.

note() {  # n what kind target detail...
  local n=$1 what=$2 kind=$3 target=$4
  shift 4
  printf '%s %s %s %s %s %s\n' "$(date +%s.%N)" "$n" "$what" "$kind" "$target" "$*" >>"$run/faults.log"
  awk -v now="$(date +%s.%N)" -v t0="$t0" -v rest="$n $what $kind $target $*" \
    'BEGIN { printf "%6.1f s  fault %s\n", now - t0, rest }'
}

server_dir() {  # port: the directory of the Redis server on it
  local n
  for n in 0 1; do [ "${redis_ports[$n]}" = "$1" ] && echo "$work/r$n"; done
}

# The pid a fault acts on, and how the process comes back after a kill.
pid_file() {  # target
  case $1 in
    a | b) echo "$work/$1.pid" ;;
    s[0-2]) echo "$work/$1/redis.pid" ;;
    broker) echo "$work/rabbit/rabbit.pid" ;;
    redis-master) echo "$(server_dir "$(master_port)")/redis.pid" ;;
  esac
}
restart() {  # target pid-file
  case $1 in
    a | b) start_instance "$1" ;;
    s[0-2]) redis-server "$work/$1/sentinel.conf" --sentinel ;;
    broker)  # its start may lose the race for a free port it picked (dist_port_already_used): again
      for _ in 1 2 3; do start_broker >>"$work/broker-start.out" 2>&1 && break; done ;;
    redis-master) redis-server "$(dirname "$2")/redis.conf" ;;
  esac
}

# rabbitmqctl on the run's broker, given up after 20 s (a stopped broker would hold it).
rabbitctl_bounded() {  # args...
  timeout 20 bash -c '. "$0/rabbit.env" && cd "$0" && exec "$1" "${@:2}"' "$work/rabbit" "$rabbit_bin/rabbitmqctl" "$@"
}

close_connections() {  # instance: the broker closes each connection that comes from it
  local peer conns c
  peer=$(cat "$work/$1.broker-peer")
  conns=$(rabbitctl_bounded list_connections -q pid peer_host 2>/dev/null | awk -v p="$peer" '$2 == p { print $1 }')
  for c in $conns; do rabbitctl_bounded close_connection "$c" "nemesis" >/dev/null 2>&1 || true; done
  echo "$(echo "$conns" | grep -c .) connection(s)"
}

run_fault() {  # n start duration kind target
  local n=$1 start=$2 duration=$3 kind=$4 target=$5 file pid link
  sleep "$(awk -v t0="$t0" -v s="$start" -v now="$(date +%s.%N)" 'BEGIN { d = t0 + s - now; printf "%.2f", (d > 0 ? d : 0) }')"
  case $kind in
    kill | stop)
      file=$(pid_file "$target")
      pid=$(cat "$file" 2>/dev/null) || { note "$n" skipped "$kind" "$target" "no pid"; return; }
      if [ "$kind" = kill ]; then
        kill -9 "$pid" 2>/dev/null || true
        [ "$target" != broker ] || kill -9 "$(cat "$work/rabbit/server.pid" 2>/dev/null)" 2>/dev/null || true
      else
        kill -STOP "$pid" 2>/dev/null || true
      fi
      note "$n" applied "$kind" "$target" "pid $pid"
      sleep "$duration"
      if [ "$kind" = kill ]; then restart "$target" "$file" || true; else kill -CONT "$pid" 2>/dev/null || true; fi
      ;;
    close-connections)
      note "$n" applied "$kind" "$target" "$(close_connections "$target")"
      ;;
    cut-redis | cut-broker)
      link=$(link "$target" "$([ "$kind" = cut-redis ] && echo r || echo b)")
      ip link set "$link" down
      note "$n" applied "$kind" "$target" "$link down"
      sleep "$duration"
      ip link set "$link" up || true
      ;;
    stop-log-reader)
      pid=$(cat "$work/$target.reader")
      kill -STOP "$pid" 2>/dev/null || true
      note "$n" applied "$kind" "$target" "reader $pid"
      sleep "$duration"
      kill -CONT "$pid" 2>/dev/null || true  # gone already when its instance was killed meanwhile
      ;;
  esac
  note "$n" healed "$kind" "$target"
}
