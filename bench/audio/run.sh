#!/usr/bin/env bash
# Echo cancellers on spoken sound; argument: the build folder. Needs
# espeak-ng and ffmpeg (scripts/deps.sh), no display or sound server.
set -euo pipefail
build=${1:?build folder}
for program in espeak-ng ffmpeg; do
  if ! command -v "$program" >/dev/null; then
    echo "bench audio: skipped, $program is not installed (scripts/deps.sh installs it)"
    exit 0
  fi
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Two people: the specialist (a low male voice) plays from the speaker, the
# user (a female voice, another accent and text) talks into the microphone.
specialist="Good morning. I can see the picture now, thank you. Please move the camera a little to the left, \
so that I can see the whole panel. That is better. Now open the cover on the right side and look for the \
green connector near the bottom. Do you see it? Pull it out gently and tell me what is written on the label. \
While you do that, I will check the records we have for this unit. It was serviced in March, and the report \
says the fan was replaced. If the connector is loose, the unit restarts every few minutes, which is what you \
described. Push it back firmly until it clicks, then close the cover and switch the unit off and on again. \
We will wait two minutes and watch the lights on the front. The middle one should turn green and stay green. \
If it blinks orange, read me the number on the display, and we will go through the next steps together."
user="Hello, yes, I can hear you well. The panel is open now. There is a green plug at the bottom with a white \
label. It says power board, revision four, and there is a date under it. The plug was not pushed in all the \
way, I think. It moved when I touched it. Should I clean the contacts before I put it back? There is some \
dust inside the unit as well. I switched it off, and now it is starting again. The first light is on, the \
second one is blinking, and the display shows a small arrow."
speak() { # voice, text, output
  espeak-ng -v "$1" -s 160 -w "$work/$3.wav" "$2"
  ffmpeg -nostdin -v error -i "$work/$3.wav" -ar 44100 -ac 1 -f s16le -y "$work/$3.s16"
}
speak en-us+m3 "$specialist" specialist
speak en-gb+f4 "$user" user
"$build/bench/audio/bench_audio_echo" "$work/specialist.s16" "$work/user.s16"
