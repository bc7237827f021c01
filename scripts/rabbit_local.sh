#!/usr/bin/env bash
# Helpers for scripts and tests that need a RabbitMQ broker on loopback. Source it.
#
# A broker started here keeps everything in its directory: data, logs, pid files, the Erlang
# cookie (HOME is the directory), its configuration, and a private epmd on a port of its own,
# so several can run at once and none touches /etc/rabbitmq or /var/lib/rabbitmq.
# dir/rabbit.env holds the settings; the broker and rabbitctl both read it.

. "$(dirname "${BASH_SOURCE[0]}")/redis_local.sh"  # for free_port

rabbit_bin=/usr/lib/rabbitmq/bin

# A free port that is none of the given ones: two free_port calls in a row may give the same.
free_port_other_than() {  # port...
  local p
  while p=$(free_port) && [[ " $* " == *" $p "* ]]; do :; done
  echo "$p"
}

# The broker's node is named on localhost, and the TLS tests reach it by that name: a root without
# /etc/hosts (one debootstrap has just made) cannot resolve it, which is said before anything starts.
localhost_resolves() {
  getent hosts localhost >/dev/null && return 0
  echo "localhost does not resolve here (no /etc/hosts? a root debootstrap has just made has none):" \
    "the broker and the tests need it; add the line \"127.0.0.1 localhost\" to /etc/hosts" >&2
  return 1
}

# True when something on 127.0.0.1:port speaks AMQP 0-9-1: it answers our protocol header with a
# frame, where any other listener would not (a connection accepted is not enough).
rabbit_answers() {  # port
  local first
  first=$(timeout 3 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" && printf "AMQP\0\0\11\1" >&3 && head -c 1 <&3' \
    _ "$1" 2>/dev/null | od -An -tx1 | tr -d ' \n') || true
  [ "$first" = 01 ]  # a method frame: connection.start
}

_port_open() {  # port
  timeout 1 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1"' _ "$1" 2>/dev/null
}

_any_alive() {  # pid...
  local p
  for p; do kill -0 "$p" 2>/dev/null && return 0; done
  return 1
}

# Enters the settings of the broker in dir; run in a subshell. Settings of the caller's own
# (a RABBITMQ_NODENAME, say) would otherwise leak into ours.
_rabbit_env() {  # dir
  local v
  for v in $(compgen -v RABBITMQ_); do unset "$v"; done
  . "$1/rabbit.env" && cd "$1"
}

_pid_alive() {  # pid file
  [ -s "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null
}

_make_ca() {  # name key_file cert_file
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=$1" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign -keyout "$2" -out "$3" 2>/dev/null
}

# A CA and a server certificate for the name localhost (only: reached as 127.0.0.1, the broker's
# name does not match), a client certificate for the broker's user corvel-client, and a CA that
# signed nothing (other-ca.pem), in dir/tls, made once per directory. EC keys: generated
# instantly, and both Erlang and OpenSSL clients take them.
_make_tls_files() {  # dir
  local t=$1/tls
  [ -s "$t/client.pem" ] && return 0
  mkdir -p "$t"
  _make_ca corvel-test-ca "$t/ca.key" "$t/ca.pem" &&
    _make_ca corvel-other-ca "$t/other-ca.key" "$t/other-ca.pem" &&
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost \
      -keyout "$t/server.key" -out "$t/server.csr" 2>/dev/null &&
    printf '%s\n' basicConstraints=CA:FALSE extendedKeyUsage=serverAuth \
      subjectAltName=DNS:localhost >"$t/server.ext" &&
    openssl x509 -req -in "$t/server.csr" -CA "$t/ca.pem" -CAkey "$t/ca.key" -CAcreateserial -days 3650 \
      -extfile "$t/server.ext" -out "$t/server.pem" 2>/dev/null &&
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=corvel-client \
      -keyout "$t/client.key" -out "$t/client.csr" 2>/dev/null &&
    printf '%s\n' basicConstraints=CA:FALSE extendedKeyUsage=clientAuth >"$t/client.ext" &&
    openssl x509 -req -in "$t/client.csr" -CA "$t/ca.pem" -CAkey "$t/ca.key" -CAcreateserial -days 3650 \
      -extfile "$t/client.ext" -out "$t/client.pem" 2>/dev/null || {
    echo "cannot make the TLS files in $t (is openssl installed?)" >&2
    return 1
  }
}

# Starts a throwaway rabbitmq-server on 127.0.0.1:port with all its files in dir, and an amqps
# listener on tls_port when given (its CA is dir/tls/ca.pem, see _make_tls_files); waits until
# it answers.
# With RABBIT_OWNER_PID set, the broker is also stopped once that process is gone, so a test
# killed on a timeout leaves no broker behind. Nodes of one cluster share an epmd and a cookie:
# RABBIT_EPMD_PORT names an epmd the caller runs (start_rabbit_epmd), RABBIT_COOKIE the cookie.
# RABBIT_EXTRA_CONF: lines added to its rabbitmq.conf (another listener, say).
start_rabbit() {  # port dir [tls_port]
  local port=$1 dir tls_port=${3:-}
  localhost_resolves || return 1
  mkdir -p "$2" && dir=$(cd "$2" && pwd)
  if _pid_alive "$dir/server.pid" || _pid_alive "$dir/rabbit.pid"; then
    echo "a broker already runs with its files in $dir" >&2
    return 1
  fi
  rm -f "$dir/server.pid" "$dir/rabbit.pid" "$dir/epmd.pid"  # stale ones would name other processes
  mkdir -p "$dir/mnesia" "$dir/log"
  # Short names on "localhost" keep the node off DNS; the checksum makes it unique per directory.
  local node epmd_port dist_port
  node="corvel-$(printf %s "$dir" | cksum | cut -d' ' -f1)@localhost"
  epmd_port=${RABBIT_EPMD_PORT:-$(free_port_other_than "$port" "$tls_port")}
  dist_port=$(free_port_other_than "$port" "$tls_port" "$epmd_port")
  if [ -n "${RABBIT_COOKIE:-}" ]; then
    rm -f "$dir/.erlang.cookie"
    printf %s "$RABBIT_COOKIE" >"$dir/.erlang.cookie"
    chmod 400 "$dir/.erlang.cookie"
  fi

  {
    echo "listeners.tcp.default = 127.0.0.1:$port"
    # Tests publish on whatever disk is left; the default 50 MB alarm would block them.
    echo "disk_free_limit.absolute = 1MB"
    echo "log.console = false"
    [ -z "${RABBIT_EXTRA_CONF:-}" ] || printf '%s\n' "$RABBIT_EXTRA_CONF"
    if [ -n "$tls_port" ]; then
      echo "listeners.ssl.default = 127.0.0.1:$tls_port"
      echo "ssl_options.cacertfile = $dir/tls/ca.pem"
      echo "ssl_options.certfile = $dir/tls/server.pem"
      echo "ssl_options.keyfile = $dir/tls/server.key"
      # A client certificate is asked for, not required; one signed by the CA logs in as the user
      # its common name names (EXTERNAL), who must exist.
      echo "ssl_options.verify = verify_peer"
      echo "ssl_options.fail_if_no_peer_cert = false"
      echo "ssl_cert_login_from = common_name"
      echo "auth_mechanisms.1 = PLAIN"
      echo "auth_mechanisms.2 = AMQPLAIN"
      echo "auth_mechanisms.3 = EXTERNAL"
    fi
  } >"$dir/rabbitmq.conf"
  if [ -n "$tls_port" ]; then
    _make_tls_files "$dir" || return 1
    echo '[rabbitmq_auth_mechanism_ssl].' >"$dir/enabled_plugins"
  else
    echo '[].' >"$dir/enabled_plugins"
  fi

  # Distribution and epmd on loopback only; neither node nor CLI may start an epmd of its own,
  # which would outlive the broker.
  local loopback_dist='-start_epmd false -kernel inet_dist_use_interface {127,0,0,1}'
  {
    printf 'export %s=%q\n' \
      HOME "$dir" \
      ERL_EPMD_PORT "$epmd_port" \
      ERL_EPMD_ADDRESS 127.0.0.1 \
      ERL_CRASH_DUMP "$dir/log/erl_crash.dump" \
      RABBITMQ_NODENAME "$node" \
      RABBITMQ_USE_LONGNAME false \
      RABBITMQ_NODE_IP_ADDRESS 127.0.0.1 \
      RABBITMQ_NODE_PORT "$port" \
      RABBITMQ_DIST_PORT "$dist_port" \
      RABBITMQ_CONF_ENV_FILE "$dir/rabbitmq-env.conf" \
      RABBITMQ_CONFIG_FILE "$dir/rabbitmq.conf" \
      RABBITMQ_ADVANCED_CONFIG_FILE "$dir/advanced.config" \
      RABBITMQ_ENABLED_PLUGINS_FILE "$dir/enabled_plugins" \
      RABBITMQ_MNESIA_BASE "$dir/mnesia" \
      RABBITMQ_MNESIA_DIR "$dir/mnesia/node" \
      RABBITMQ_PLUGINS_EXPAND_DIR "$dir/mnesia/plugins-expand" \
      RABBITMQ_FEATURE_FLAGS_FILE "$dir/mnesia/feature_flags" \
      RABBITMQ_LOG_BASE "$dir/log" \
      RABBITMQ_LOGS "$dir/log/rabbit.log" \
      RABBITMQ_PID_FILE "$dir/rabbit.pid" \
      RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS "$loopback_dist" \
      RABBITMQ_CTL_ERL_ARGS "$loopback_dist"
    printf 'RABBIT_PORT=%q\nRABBIT_TLS_PORT=%q\n' "$port" "$tls_port"
  } >"$dir/rabbit.env"

  # Started here rather than by the node, so that its pid is known and stop_rabbit can end it.
  (
    _rabbit_env "$dir"
    # Each writes its own pid: setsid may fork, so $! need not be it.
    # An `if`, not `||`: with `… || setsid … &` the whole list would run in a background shell
    # of its own, which prints "Terminated" on the terminal when stop_rabbit ends epmd.
    if [ -z "${RABBIT_EPMD_PORT:-}" ]; then
      setsid sh -c 'echo $$ >epmd.pid; exec epmd -port "$ERL_EPMD_PORT" -address 127.0.0.1' \
        </dev/null >log/epmd.log 2>&1 &
    fi
    for _ in $(seq 50); do
      epmd -names >/dev/null 2>&1 && break
      sleep 0.1
    done
    # A shell that forwards SIGTERM to the VM; the VM's own pid goes to rabbit.pid once it boots.
    setsid sh -c 'echo $$ >server.pid; exec "$1"' _ "$rabbit_bin/rabbitmq-server" \
      </dev/null >log/startup.log 2>&1 &
    for _ in $(seq 50); do
      [ -s server.pid ] && break
      sleep 0.1
    done
  )

  if [ -n "${RABBIT_OWNER_PID:-}" ]; then
    local owner=$RABBIT_OWNER_PID
    (
      # Stopped by its owner meanwhile, it may be started again: only an owner gone stops it.
      while kill -0 "$owner" 2>/dev/null; do
        _pid_alive "$dir/server.pid" || exit 0
        sleep 1
      done
      stop_rabbit "$dir"
    ) </dev/null >/dev/null 2>&1 &
    disown $! 2>/dev/null || true
  fi

  for _ in $(seq 600); do
    if rabbit_answers "$port" && { [ -z "$tls_port" ] || _port_open "$tls_port"; }; then
      return 0
    fi
    _pid_alive "$dir/server.pid" || break
    sleep 0.1
  done
  if _pid_alive "$dir/server.pid"; then
    echo "rabbitmq-server on port $port did not come up within 60 s; see $dir/log/rabbit.log" >&2
  else
    echo "rabbitmq-server on port $port exited during start-up; see $dir/log/startup.log and $dir/log/rabbit.log" >&2
  fi
  tail -n 20 "$dir/log/startup.log" >&2 2>/dev/null || true
  stop_rabbit "$dir"
  return 1
}

# Stops the broker with its files in dir, and its epmd; does nothing when none runs there.
stop_rabbit() {  # dir
  local dir=$1 pids=() f
  for f in rabbit.pid server.pid; do
    _pid_alive "$dir/$f" && pids+=("$(cat "$dir/$f")")
  done
  if ((${#pids[@]})); then
    # SIGTERM makes the VM shut down cleanly (a second or two); the first pid is the VM's when
    # it has booted far enough to write it, else the shell that passes the signal on.
    kill "${pids[0]}" 2>/dev/null || true
    for _ in $(seq 150); do
      _any_alive "${pids[@]}" || break
      sleep 0.1
    done
    kill -9 "${pids[@]}" 2>/dev/null || true
  fi
  if _pid_alive "$dir/epmd.pid"; then
    kill "$(cat "$dir/epmd.pid")" 2>/dev/null || true
  fi
  rm -f "$dir/server.pid" "$dir/epmd.pid" "$dir/rabbit.pid"
}

# An epmd on loopback for the nodes of a cluster, its files in dir; stop it with stop_rabbit_epmd.
start_rabbit_epmd() {  # port dir
  mkdir -p "$2"
  setsid sh -c 'echo $$ >"$1/epmd.pid"; exec epmd -port "$2" -address 127.0.0.1' _ "$2" "$1" </dev/null >/dev/null 2>&1 &
  for _ in $(seq 50); do
    ERL_EPMD_PORT=$1 epmd -names >/dev/null 2>&1 && return 0
    sleep 0.1
  done
  return 1
}
stop_rabbit_epmd() {  # dir
  _pid_alive "$1/epmd.pid" && kill "$(cat "$1/epmd.pid")" 2>/dev/null || true
}

rabbit_node_name() {  # dir
  (_rabbit_env "$1" && echo "$RABBITMQ_NODENAME")
}

# Makes the broker in dir a member of the cluster of the node named seed.
join_rabbit_cluster() {  # dir seed
  rabbitctl "$1" stop_app >/dev/null && rabbitctl "$1" join_cluster "$2" >/dev/null && rabbitctl "$1" start_app >/dev/null
}

# Runs rabbitmqctl against the broker with its files in dir.
rabbitctl() {  # dir args...
  local dir=$1
  shift
  [ -f "$dir/rabbit.env" ] || {
    echo "no broker set up in $dir" >&2
    return 1
  }
  (
    _rabbit_env "$dir"
    exec "$rabbit_bin/rabbitmqctl" "$@"
  )
}
