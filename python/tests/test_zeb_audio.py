"""The package against the built library (ZEB_AUDIO_LIBRARY and ZEB_AUDIO_HEADER name it) or an installed one."""
import array
import math
import shutil
import subprocess
import wave

import pytest

import zeb_audio


def make_wav(path, seconds, rate=44100):
    frames = int(seconds * rate)
    samples = array.array("h", (int(8000 * math.sin(i * 0.05)) for i in range(frames * 2)))
    with wave.open(str(path), "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(samples.tobytes())
    return samples.tobytes()


class Collector(zeb_audio.OutputModule):
    def __init__(self, held_ms=0):
        self.data = bytearray()
        self.held_ms = held_ms

    def write(self, data, channels, sample_rate):
        self.data += data

    def buffered_ms(self):
        return self.held_ms


def test_constants_version_and_error_texts_come_from_the_library():
    assert zeb_audio.ZEB_CMD_GET_PLAY_POSITION == 0x8100
    assert zeb_audio.ZEB_PLAYER_STATE_EOS == 3
    assert zeb_audio.version().count(".") == 2
    text = zeb_audio.error_text(zeb_audio.ZEB_CMD_INPUT_OPEN, zeb_audio.ZEB_ERR_INPUT_OPEN)
    assert "'Input Open'" in text and "file not found" in text


def test_exact_length(tmp_path):
    make_wav(tmp_path / "half.wav", 0.5)
    details = zeb_audio.track_details(str(tmp_path / "half.wav"))
    assert (details["length_ms"], details["frames"], details["codec"]) == (500, 22050, "pcm")
    if shutil.which("ffmpeg") and shutil.which("ffprobe"):
        mp3 = tmp_path / "jingle.mp3"
        subprocess.run(["ffmpeg", "-v", "error", "-i", str(tmp_path / "half.wav"), "-t", "0.5", str(mp3)], check=True)
        probed = float(subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                                       "default=nw=1:nk=1", str(mp3)], capture_output=True, text=True).stdout)
        assert abs(zeb_audio.track_details(str(mp3))["length_ms"] - probed * 1000) <= 1152 * 1000 / 44100 + 1
    with pytest.raises(zeb_audio.ZebAudioError):
        zeb_audio.track_details(str(tmp_path / "missing.wav"))


def test_play_to_a_python_module_seek_and_heard_position(tmp_path):
    pcm = make_wav(tmp_path / "one.wav", 1.0)
    out = Collector(held_ms=200)
    with zeb_audio.Window() as window, zeb_audio.Player(window) as player:
        player.output_open_module(out)
        player.input_open(str(tmp_path / "one.wav"))
        player.play()
        window.until(zeb_audio.ZEB_NTF_PLAY_STATE, zeb_audio.ZEB_PLAYER_STATE_EOS, player.handle)
        assert bytes(out.data) == pcm
        player.input_open(str(tmp_path / "one.wav"))
        player.seek(1, 2)
        player.get_play_position()
        got = window.until(zeb_audio.ZEB_NTF_PLAY_POSITION, player=player.handle)
        assert got[-1].lparam == 300  # 500 ms decoded, 200 ms held by the module
        assert all(m.player == player.handle for m in got)


def sound_server():
    return shutil.which("pactl") and subprocess.run(["pactl", "info"], capture_output=True).returncode == 0


def probe_ms(path, count_frames):
    """ffprobe's length; ADTS carries none, so its 1024-sample frames are counted."""
    probe = ["ffprobe", "-v", "error", "-select_streams", "a:0", "-of", "default=nw=1:nk=1"]
    if count_frames:
        out = subprocess.run(probe + ["-count_packets", "-show_entries", "stream=nb_read_packets", str(path)],
                             capture_output=True, text=True).stdout
        return float(out) * 1024 * 1000 / 44100
    out = subprocess.run(probe + ["-show_entries", "format=duration", str(path)], capture_output=True, text=True)
    return float(out.stdout) * 1000


FORMATS = [("mp3", "-c:a libmp3lame -b:a 128k -f mp3", 1152), ("wav", "-c:a pcm_s16le -f wav", 1),
           ("ogg", "-c:a libvorbis -f ogg", 2048), ("flac", "-c:a flac -f flac", 4608),
           ("aac", "-c:a aac -b:a 96k -f adts", 1024), ("m4a", "-c:a aac -b:a 96k -f ipod", 1024),
           ("wma", "-c:a wmav2 -b:a 64k -f asf", 2048), ("aiff", "-c:a pcm_s16be -f aiff", 1)]


@pytest.mark.skipif(not shutil.which("ffmpeg") or not sound_server(), reason="needs ffmpeg and a sound server")
@pytest.mark.parametrize("ext,options,frame", FORMATS, ids=[f[0] for f in FORMATS])
def test_every_format_is_heard_behind_its_decoding_and_plays_out(tmp_path, ext, options, frame):
    """Exact length as ffprobe has it; while playing on the default device the heard position is behind
    the decoded one by at most the buffer, a decoded section and the server's queue; "played out"
    follows end of stream, and then the whole track has been heard."""
    make_wav(tmp_path / "source.wav", 2.0)
    path = tmp_path / ("track." + ext)
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", str(tmp_path / "source.wav")] + options.split()
                   + [str(path)], check=True)
    frame_ms = frame * 1000 / 44100 + 1
    length = zeb_audio.track_details(str(path))["length_ms"]
    assert abs(length - probe_ms(path, ext == "aac")) <= frame_ms
    with zeb_audio.Window() as window, zeb_audio.Player(window) as player:
        player.output_open_dsound(0)
        player.input_open(str(path))
        window.until(zeb_audio.ZEB_NTF_INPUT_OPENED, player=player.handle)
        player.set_input_time_interval(50)
        player.play()
        decoded, heard, decoded_then = 0, None, None
        while True:
            got = window.get(10000)
            assert got is not None and got.msg != zeb_audio.ZEB_NTF_PLAYED_OUT
            if got.msg == zeb_audio.ZEB_NTF_ELAPSED_TIME:
                decoded = got.lparam
            if got.msg == zeb_audio.ZEB_NTF_PLAY_POSITION:
                heard, decoded_then = got.lparam, decoded
            if got.msg == zeb_audio.ZEB_NTF_PLAY_STATE and got.wparam == zeb_audio.ZEB_PLAYER_STATE_EOS:
                break
            if decoded >= 1500 and decoded_then is None and heard is None:
                player.get_play_position()
                heard = -1
        assert 0 <= heard < decoded_then <= heard + 1000 + 250 + 100
        played_out = window.until(zeb_audio.ZEB_NTF_PLAYED_OUT, player=player.handle)
        assert played_out[-1].player == player.handle
        player.get_play_position()
        final = window.until(zeb_audio.ZEB_NTF_PLAY_POSITION, player=player.handle)[-1].lparam
        assert final >= decoded and abs(final - length) <= 2 * frame_ms


def test_errors_carry_the_text_and_players_share_a_window(tmp_path):
    with zeb_audio.Window() as window:
        with zeb_audio.Player(window) as first, zeb_audio.Player(window) as second:
            second.ping()
            first.input_open(str(tmp_path / "missing.wav"))
            with pytest.raises(zeb_audio.ZebAudioError) as error:
                window.until(zeb_audio.ZEB_RSP_OK, zeb_audio.ZEB_CMD_INPUT_OPEN, first.handle)
            assert error.value.code == zeb_audio.ZEB_ERR_INPUT_OPEN
            assert "Input Open Error" in str(error.value)


def test_window_descriptor_polls_readable():
    import selectors
    with zeb_audio.Window() as window, zeb_audio.Player(window) as player:
        with selectors.DefaultSelector() as selector:
            selector.register(window, selectors.EVENT_READ)
            player.ping()
            assert selector.select(timeout=10)
