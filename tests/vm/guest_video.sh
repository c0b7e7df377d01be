# Guest cases for the V4L2 source against vivid (/dev/video0 capture,
# /dev/video1 output). The pictures are judged on the host.
. "$RIG_SOURCE/guest_common.sh"
cd "$RIG_OUT"
echo "guest up after $(cut -d" " -f1 /proc/uptime) s"
ctl() { /usr/bin/python3 "$RIG_SOURCE/vivid_control.py" /dev/video0 "$@"; }

# record NAME RULE...: a headless recording from vivid with the settings in
# NAME.ini; its stderr goes through the control follower (see vivid_control.py),
# which is listening before Noctra starts.
record() {
  name=$1
  shift
  fifo=/run/$name.fifo
  mkfifo "$fifo"
  /usr/bin/python3 "$RIG_SOURCE/vivid_control.py" /dev/video0 follow "$name.err" "$fifo" \
    "/run/$name.ready" "$@" &
  follower=$!
  for i in $(seq 600); do [ -e "/run/$name.ready" ] && break; sleep 0.05; done
  if [ ! -e "/run/$name.ready" ]; then
    echo "the control follower for $name did not start"
    return
  fi
  start=$(date +%s.%N)
  "$RIG_NOCTRA" --headless --no-save --config "$name.ini" --output "$RIG_OUT/$name.avi" \
    --trace-port 2> "$fifo" > /dev/null
  code=$?
  wait $follower
  echo "$code $(date +%s.%N) $start" > "$name.status"
}

# vivid stamps its buffers by default with a made-up end of frame, 0.9 of
# a frame period after it starts filling them, which can lie after the frame
# is handed over. At the start of the exposure the stamp is the moment vivid
# began the picture: later than the trigger write means exposed after it.
ctl set "Timestamp Source=@Start of Exposure"

mark 1 "device listing"
"$RIG_NOCTRA" --list-devices > list.txt 2>&1
ctl describe > webcam.describe

mark 2 "webcam input: the frame after the trigger, quiet stderr"
settings webcam Flags.AmpOff=0 Capture.Exposure=600 Capture.Delay=600 Capture.Count=2 \
  Hardware.Port=ppdev:/dev/parport0 Hardware.Source=v4l2:/dev/video0
ctl set "Test Pattern=@100% Red"
# Each exposure start changes the picture: a frame taken before the trigger
# of its exposure would show the previous picture.
record webcam "port 0x27#1:Test Pattern=@100% Colorbar" \
  "port 0x27#2:Test Pattern=@Horizontal 100% Colorbar"

mark 3 "TV input: broadcast size, interlaced"
ctl input 1
ctl set "Test Pattern=@100% Colorbar"
ctl describe > tv.describe
settings tv Flags.AmpOff=0 Capture.Exposure=300 Capture.Count=1 \
  Hardware.Port=sim Hardware.Source=v4l2:/dev/video0
record tv
ctl input 0

mark 4 "unplug in the middle of a recording"
settings unplug Flags.AmpOff=0 Capture.Exposure=400 Capture.Delay=200 Capture.Count=3 \
  Hardware.Port=sim Hardware.Source=v4l2:/dev/video0
record unplug "- 1/3)#1:Disconnect=1"
dmesg | grep -i vivid | tail -n 20 > unplug.dmesg 2>&1
mark 5 end
