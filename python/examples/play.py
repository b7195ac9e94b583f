"""Plays a file to the default device, or renders it to a WAVE file:
python3 play.py FILE [OUT.wav]"""
import sys
import wave

import zeb_audio


class WaveWriter(zeb_audio.OutputModule):
    def __init__(self, path):
        self.path = path
        self.out = None

    def write(self, data, channels, sample_rate):
        if self.out is None:
            self.out = wave.open(self.path, "wb")
            self.out.setnchannels(channels)
            self.out.setsampwidth(2)
            self.out.setframerate(sample_rate)
        self.out.writeframes(data)

    def close(self):
        if self.out:
            self.out.close()
            self.out = None


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    details = zeb_audio.track_details(sys.argv[1])
    print("%(codec)s in %(container)s, %(length_ms)d ms" % details)
    with zeb_audio.Window() as window, zeb_audio.Player(window) as player:
        if len(sys.argv) == 3:
            player.output_open_module(WaveWriter(sys.argv[2]))
        else:
            player.output_open_dsound(0)
        player.input_open(sys.argv[1])
        player.play()
        window.until(zeb_audio.ZEB_NTF_PLAY_STATE, zeb_audio.ZEB_PLAYER_STATE_EOS, player.handle, timeout_ms=-1)
        if len(sys.argv) == 2:
            player.output_drain()
            window.until(zeb_audio.ZEB_RSP_OK, zeb_audio.ZEB_CMD_OUTPUT_DRAIN, player.handle, timeout_ms=-1)


if __name__ == "__main__":
    main()
