# SPDX-License-Identifier: Apache-2.0
# Sourced by the Wine check scripts (after checks.sh). Wine's programs show on the run's display.
export DISPLAY=:$(cat "$WINEPREFIX.display")

# The Unix path of a Windows path in the current prefix.
unix_path() { winepath -u "$1" 2>/dev/null; }

# A registry key exported as UTF-8 text (regedit writes UTF-16), empty when the key is missing.
export_key() {
  local file=$work/export-$RANDOM.reg
  wine regedit /E "$(winepath -w "$file")" "$1" >/dev/null 2>&1 || true
  [ -f "$file" ] && iconv -f UTF-16LE -t UTF-8 "$file" | tr -d '\r\357\273\277' || true
}

# wait_until SECONDS COMMAND...: true once COMMAND succeeds within the time.
wait_until() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}
