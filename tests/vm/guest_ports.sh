# Guest cases for the parallel port, the UART and the FTDI chip. Each case
# starts with a marker; the host judges the register writes that follow it.
. "$RIG_SOURCE/guest_common.sh"
cd "$RIG_OUT"
echo "guest up after $(cut -d" " -f1 /proc/uptime) s"
exposure="Capture.Exposure=300 Capture.Delay=200"

# record NAME: a headless recording with the settings in NAME.ini.
record() {
  start=$(date +%s.%N)
  "$RIG_NOCTRA" --headless --no-save --config "$1.ini" --output "$RIG_OUT/$1.avi" \
    --trace-port 2> "$1.err"
  echo "$? $(date +%s.%N) $start" > "$1.status"
}

mark 1 "ppdev, amplifier switching off"
settings ppdev_amp_on Flags.AmpOff=0 $exposure Capture.Count=2 \
  Hardware.Port=ppdev:/dev/parport0 Hardware.Source=sim
record ppdev_amp_on

mark 2 "ppdev, amplifier switching on"
settings ppdev_amp_off Flags.AmpOff=1 $exposure Capture.Count=2 \
  Hardware.Port=ppdev:/dev/parport0 Hardware.Source=sim
record ppdev_amp_off

mark 3 "crash guard"
settings crash Flags.AmpOff=0 Capture.Exposure=60000 Capture.Count=1 \
  Hardware.Port=ppdev:/dev/parport0 Hardware.Source=sim
start=$(date +%s.%N)
"$RIG_NOCTRA" --headless --no-save --config crash.ini --output "$RIG_OUT/crash.avi" \
  --trace-port 2> crash.err &
pid=$!
for i in $(seq 100); do grep -q "port 0x14" crash.err && break; sleep 0.1; done
sleep 0.3
kill -SEGV $pid
wait $pid
echo "$? $(date +%s.%N) $start" > crash.status

mark 4 "Port=auto"
settings auto Flags.AmpOff=0 $exposure Capture.Count=1 Hardware.Port=auto Hardware.Source=sim
"$RIG_NOCTRA" --list-devices --config auto.ini > auto.list 2>&1
record auto

mark 5 "serial, DTR bit 2, RTS bit 0"
settings serial Flags.AmpOff=1 $exposure Capture.Count=2 \
  Hardware.Port=serial:/dev/ttyS0,dtr=2,rts=0 Hardware.Source=sim
record serial
sleep 0.5

mark 6 "serial, inverted"
settings serial_invert Flags.AmpOff=1 $exposure Capture.Count=2 \
  Hardware.Port=serial:/dev/ttyS0,dtr=2,rts=0,invert Hardware.Source=sim
record serial_invert
sleep 0.5

mark 7 "ftdi"
# QEMU's USB serial chip claims to be an FT232BM (0403:6001); give the hub a
# moment to enumerate it.
for i in $(seq 50); do grep -qs 0403 /sys/bus/usb/devices/*/idVendor && break; sleep 0.1; done
cat /sys/bus/usb/devices/*/product > usb.list 2>&1
settings ftdi Flags.AmpOff=0 $exposure Capture.Count=1 Hardware.Port=ftdi Hardware.Source=sim
start=$(date +%s.%N)
timeout 40 "$RIG_NOCTRA" --headless --no-save --config ftdi.ini --output "$RIG_OUT/ftdi.avi" 2> ftdi.err
echo "$? $(date +%s.%N) $start" > ftdi.status
mark 8 end
