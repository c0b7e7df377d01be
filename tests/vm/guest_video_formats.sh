# Guest cases for the capture devices' own formats: for YUYV, UYVY and GREY
# and for woven, alternate and progressive pictures, a mono recording from
# vivid and the raw buffers v4l2-ctl captures of the same still picture. The
# host compares them.
. "$RIG_SOURCE/guest_common.sh"
cd "$RIG_OUT"
echo "guest up after $(cut -d" " -f1 /proc/uptime) s"
dev=/dev/video0

# A still picture whose neighbouring lines differ (a line out of its place
# shows) and no text that changes from frame to frame.
/usr/bin/python3 "$RIG_SOURCE/vivid_control.py" $dev set "Test Pattern=@1x1 Checkers" \
  "OSD Text Mode=@None"

# run NAME SOURCE: a one-frame mono recording from SOURCE.
run() {
  settings "$1" Flags.AmpOff=0 Capture.Exposure=100 Capture.Count=1 Hardware.Port=sim \
    "Hardware.Source=$2" Recording.Colour=mono
  start=$(date +%s.%N)
  "$RIG_NOCTRA" --headless --no-save --config "$1.ini" --output "$RIG_OUT/$1.avi" \
    2> "$1.err" > /dev/null
  echo "$? $(date +%s.%N) $start" > "$1.status"
}

# grab NAME FORMAT FIELD INPUT STD WIDTH HEIGHT: Noctra's recording with that
# field order, then one raw buffer of the same still picture in NAME.raw. A
# picture in one buffer is the reference for the one Noctra weaves from two:
# the raw fields carry no flag saying which is which, and vivid drops one now
# and then on a busy machine.
grab() {
  source="v4l2:$dev,format=$2,input=$4"
  standard=
  if [ "$5" != - ]; then
    source="$source,std=$5"
    standard="-s $5"
  fi
  [ "$3" = alternate ] && source="$source,field=alternate"
  run "$1" "$source"
  fourcc=$(echo "$2" | tr a-z A-Z)
  field=$3
  [ "$field" = alternate ] && field=interlaced
  # shellcheck disable=SC2086
  v4l2-ctl -d $dev -i "$4" $standard \
    --set-fmt-video=width=$6,height=$7,pixelformat=$fourcc,field=$field \
    --stream-mmap --stream-count=1 --stream-to="$1.raw" > "$1.ctl" 2>&1
}

mark 1 "woven: YUYV on PAL, UYVY on NTSC, GREY on PAL"
grab yuyv_interlaced yuyv interlaced 1 pal 720 576
grab uyvy_interlaced uyvy interlaced 1 ntsc 720 480
grab grey_interlaced grey interlaced 1 pal 720 576

mark 2 "one field a buffer: YUYV on NTSC, UYVY on PAL, GREY on NTSC"
grab yuyv_alternate yuyv alternate 1 ntsc 720 480
grab uyvy_alternate uyvy alternate 1 pal 720 576
grab grey_alternate grey alternate 1 ntsc 720 480

mark 3 "progressive, on the webcam input"
grab yuyv_none yuyv none 0 - 640 480
grab uyvy_none uyvy none 0 - 640 480
grab grey_none grey none 0 - 640 480

mark 4 "a format vivid lacks"
run missing_format "v4l2:$dev,format=mjpeg"
mark 5 end
