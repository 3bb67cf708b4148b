#!/usr/bin/env bash
# Installs and starts what the benchmarks compare against: a local Redis
# server (persistence off, loopback only) and the Python clients and plotting
# library. Safe to run again: installed pieces are skipped, a running server
# is left alone.
set -euo pipefail

PORT="${REDIS_PORT:-6379}"
SUDO=""
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then SUDO="sudo"; fi

if ! command -v redis-server >/dev/null 2>&1; then
  $SUDO apt-get update
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y redis-server
fi

if command -v redis-cli >/dev/null 2>&1 && redis-cli -h 127.0.0.1 -p "$PORT" ping >/dev/null 2>&1; then
  echo "redis-server already answering on 127.0.0.1:$PORT"
else
  redis-server --port "$PORT" --save '' --appendonly no --daemonize yes --bind 127.0.0.1
  for _ in $(seq 1 50); do
    redis-cli -h 127.0.0.1 -p "$PORT" ping >/dev/null 2>&1 && break
    sleep 0.1
  done
  redis-cli -h 127.0.0.1 -p "$PORT" ping
fi

python3 -m pip install --quiet pottery redis matplotlib
echo "benchmark peers ready"
