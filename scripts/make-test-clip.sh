#!/usr/bin/env bash
# Writes a short clip in one of the formats stations air, with FFmpeg, for the tests, the
# benchmark and an engineer who wants to try a channel:
#
#   make-test-clip.sh FORMAT OUTPUT [--size WxH] [--rate FPS] [--frames N] [--pattern P]
#
# FORMAT (the file's extension comes from OUTPUT; use the one shown):
#   xdcam-hd422  .mxf  MPEG-2 4:2:2 long GOP (12 frames, 2 B), interlaced, 50 Mbit/s at 1080,
#                      four mono 24-bit PCM tracks, as XDCAM HD422 writes it
#   avc-intra    .mxf  H.264 High 4:2:2 intra, 10 bit, two mono 24-bit PCM tracks
#   dnxhr        .mxf  DNxHR SQ, 4:2:2, two mono 24-bit PCM tracks
#   dnxhd        .mxf  DNxHD 4:2:2 at 1280x720 whatever --size says (DNxHD has fixed sizes)
#   prores       .mov  ProRes 422, stereo 16-bit PCM
#   h264-mov     .mov  H.264 High with B-frames, stereo 16-bit PCM
#   h264-mp4     .mp4  H.264 High with B-frames, stereo AAC
#   h264-ts      .ts   H.264 High with B-frames, stereo AAC
#   mpeg2-ts     .ts   MPEG-2 main profile long GOP, stereo MPEG-1 layer II
#   mpeg4-mkv    .mkv  MPEG-4 part 2, stereo Vorbis
#   ffv1-mkv     .mkv  FFV1 (lossless intra), stereo Vorbis
#   sound-wav    .wav  sound only, stereo 16-bit PCM
#   still-png    .png  one picture
#
# Sound: a 1 kHz tone from the first sample to the last, at half scale on the left (the
# first track) and an eighth on the right (the second track).
# --pattern frames (default): flat frames that say which they are: frame i has luma
# 16 + 3 i (so at most 60 frames), and the thirds of the clip have the colours (Cb, Cr)
# (64, 128), (192, 128) and (128, 64). --pattern bars: moving colour bars, for decoders to
# work on (the benchmark).
set -euo pipefail

usage() {
  sed -n '2,28p' "$0" >&2
  exit 2
}

(($# >= 2)) || usage
format=$1
output=$2
shift 2
size=320x180
rate=25
frames=60
pattern=frames
while (($# > 0)); do
  case $1 in
    --size) size=$2 ;;
    --rate) rate=$2 ;;
    --frames) frames=$2 ;;
    --pattern) pattern=$2 ;;
    *) usage ;;
  esac
  shift 2
done

width=${size%x*}
height=${size#*x}
seconds=$(awk -v n="$frames" -v r="$rate" 'BEGIN { printf "%.6f", n / r }')
# Bit rates scale with the picture from their 1080-line values.
scaled() { awk -v b="$1" -v w="$width" -v h="$height" 'BEGIN { printf "%dk", b * w * h / 2073600 + 500 }'; }

case $pattern in
  frames)
    third=$(((frames + 2) / 3))
    video="color=size=${size}:rate=${rate}:color=black,format=yuv444p,geq=lum='16+3*N':"
    video+="cb='if(lt(N,${third}),64,if(lt(N,$((2 * third))),192,128))':"
    video+="cr='if(lt(N,$((2 * third))),128,64)'"
    ;;
  bars) video="testsrc2=size=${size}:rate=${rate}" ;;
  *) usage ;;
esac
tone() { echo "aevalsrc='$1*sin(2*PI*1000*t)':s=48000:d=${seconds}"; }

inputs=(-f lavfi -t "$seconds" -i "$video")
mono_tracks() { # N mono tracks: left tone, right tone, then silence
  inputs+=(-f lavfi -i "$(tone 0.5)" -f lavfi -i "$(tone 0.125)")
  local maps=(-map 0:v -map 1:a -map 2:a)
  local k
  for ((k = 2; k < $1; k++)); do
    inputs+=(-f lavfi -i "anullsrc=r=48000:cl=mono:d=${seconds}")
    maps+=(-map "$((k + 1)):a")
  done
  codec+=("${maps[@]}" -c:a pcm_s24le)
}
stereo() { # one stereo stream
  inputs+=(-f lavfi -i "$(tone 0.5)" -f lavfi -i "$(tone 0.125)")
  codec+=(-filter_complex "[1:a][2:a]amerge=inputs=2[a]" -map 0:v -map "[a]" -c:a "$1")
}

codec=()
case $format in
  xdcam-hd422)
    codec=(-c:v mpeg2video -profile:v 0 -level:v 2 -pix_fmt yuv422p -b:v "$(scaled 50000)"
      -maxrate "$(scaled 50000)" -bufsize "$(scaled 17000)" -g 12 -bf 2 -flags +ilme+ildct
      -top 1 -f mxf)
    mono_tracks 4
    ;;
  avc-intra)
    codec=(-c:v libx264 -profile:v high422 -pix_fmt yuv422p10le -x264-params keyint=1
      -b:v "$(scaled 100000)" -f mxf)
    mono_tracks 2
    ;;
  dnxhr)
    codec=(-c:v dnxhd -profile:v dnxhr_sq -pix_fmt yuv422p -f mxf)
    mono_tracks 2
    ;;
  dnxhd)
    codec=(-vf scale=1280:720 -c:v dnxhd -b:v 90M -pix_fmt yuv422p -f mxf)
    mono_tracks 2
    ;;
  prores)
    codec=(-c:v prores_ks -profile:v 2 -pix_fmt yuv422p10le)
    stereo pcm_s16le
    ;;
  h264-mov | h264-mp4 | h264-ts)
    codec=(-c:v libx264 -profile:v high -pix_fmt yuv420p -bf 3 -g 25 -b:v "$(scaled 12000)")
    if [[ $format == h264-mov ]]; then stereo pcm_s16le; else stereo aac; fi
    ;;
  mpeg2-ts)
    codec=(-c:v mpeg2video -pix_fmt yuv420p -bf 2 -g 12 -b:v "$(scaled 15000)")
    stereo mp2
    ;;
  mpeg4-mkv)
    codec=(-c:v mpeg4 -b:v "$(scaled 8000)")
    stereo libvorbis
    ;;
  ffv1-mkv)
    codec=(-c:v ffv1)
    stereo libvorbis
    ;;
  sound-wav)
    inputs=()
    inputs+=(-f lavfi -i "$(tone 0.5)" -f lavfi -i "$(tone 0.125)")
    codec=(-filter_complex "[0:a][1:a]amerge=inputs=2[a]" -map "[a]" -c:a pcm_s16le)
    ;;
  still-png)
    codec=(-frames:v 1)
    ;;
  *)
    echo "make-test-clip.sh: no format '$format'" >&2
    usage
    ;;
esac

exec ffmpeg -hide_banner -loglevel error -nostdin -y "${inputs[@]}" "${codec[@]}" "$output"
