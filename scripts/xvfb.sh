# Sourced: starts a private Xvfb for tests and benchmarks, exports DISPLAY
# and stops the server when the calling script exits. A script that has
# more to stop then (Wine's server, say) hands it to xvfb_at_exit rather
# than setting a trap of its own, which would replace this one.
# -noreset: a game started right after another one quit must not find the
# server in the middle of a reset.
_xvfb_dir=$(mktemp -d)
Xvfb -displayfd 9 -screen 0 1024x768x24 -noreset -nolisten tcp 9>"$_xvfb_dir/display" >"$_xvfb_dir/log" 2>&1 &
_xvfb_pid=$!
_xvfb_at_exit=()
xvfb_at_exit() { _xvfb_at_exit+=("$1"); }
_xvfb_stop() {
  local c
  for c in ${_xvfb_at_exit[@]+"${_xvfb_at_exit[@]}"}; do eval "$c"; done
  kill $_xvfb_pid 2>/dev/null
  rm -rf "$_xvfb_dir"
}
trap _xvfb_stop EXIT
for _ in $(seq 100); do
  [ -s "$_xvfb_dir/display" ] && break
  sleep 0.1
done
[ -s "$_xvfb_dir/display" ] || { echo "Xvfb did not start:"; cat "$_xvfb_dir/log"; exit 1; }
export DISPLAY=":$(cat "$_xvfb_dir/display")"
