"""zeb_audio: players of libzeb-audio from Python, over ctypes.

A Window receives the answers and notifications of any number of players;
its fileno() suits selectors and asyncio. Each Player method queues one
command; answers arrive as Message tuples naming their player. Every
ZEB_ constant of the installed header is a module attribute.
"""
import collections
import ctypes

from . import _native
from ._native import lib, constants

globals().update(constants)
__all__ = ["Window", "Player", "Message", "ZebAudioError", "OutputModule", "track_details", "version",
           "error_text"] + sorted(constants)

Message = collections.namedtuple("Message", "msg wparam lparam player")


def version():
    return lib.ZEBAudioGetVersion().decode()


def error_text(command, code):
    """The library's text for error code of command."""
    buffer = ctypes.create_string_buffer(constants["ZEB_ERROR_STRING_SIZE"])
    if command == constants["ZEB_CMD_DSOUND_OUTPUT_OPEN"]:
        command = constants["ZEB_CMD_OUTPUT_OPEN"]
    lib.ZEBAudioFormatErrorString(command, code, buffer)
    return buffer.value.decode()


class ZebAudioError(Exception):
    """A refused command: command and code as the library answered them."""

    def __init__(self, command, code):
        super().__init__(error_text(command, code))
        self.command = command
        self.code = code


def track_details(path):
    """Exact length and format of a file, as a dict; ZebAudioError when it is not opened."""
    details = _native.TrackDetails()
    details.Size = ctypes.sizeof(details)
    if not lib.ZEBAudioGetTrackDetails(path.encode(), ctypes.byref(details)):
        raise ZebAudioError(constants["ZEB_CMD_INPUT_OPEN"], constants["ZEB_ERR_INPUT_OPEN"])
    return {"length_ms": details.LengthMs, "frames": details.Frames, "sample_rate": details.SampleRate,
            "channels": details.Channels, "bit_rate": details.BitRate, "vbr": bool(details.VBR),
            "codec": details.Codec.decode(), "container": details.Container.decode()}


class Window:
    def __init__(self):
        self._handle = lib.ZEBWindowCreate()
        if not self._handle:
            raise MemoryError("ZEBWindowCreate failed")

    @property
    def handle(self):
        return self._handle

    def fileno(self):
        return lib.ZEBWindowFd(self._handle)

    def get(self, timeout_ms=-1):
        """The oldest message, or None when none arrived within timeout_ms (negative: wait)."""
        raw = _native.Message()
        if not lib.ZEBWindowGetMessage(self._handle, ctypes.byref(raw), int(timeout_ms)):
            return None
        return Message(raw.Msg, raw.wParam, raw.lParam, raw.Player)

    def until(self, msg, wparam=None, player=None, timeout_ms=10000):
        """Messages up to the first matching one (included); raises an error answer of player,
        TimeoutError when nothing more arrives in time."""
        taken = []
        while True:
            got = self.get(timeout_ms)
            if got is None:
                raise TimeoutError("no message 0x%x after %r" % (msg, taken))
            taken.append(got)
            mine = player is None or got.player == player
            if mine and got.msg == constants["ZEB_RSP_ERROR"] and not (msg == got.msg):
                raise ZebAudioError(got.wparam, got.lparam)
            if mine and got.msg == msg and (wparam is None or got.wparam == wparam):
                return taken

    def close(self):
        if self._handle:
            lib.ZEBWindowDestroy(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class OutputModule:
    """Base of a host output in Python; every method runs on the player's thread."""

    def open(self):
        return True

    def close(self):
        pass

    def write(self, data, channels, sample_rate):
        pass

    def command(self, cmd, param):
        return 1

    def buffered_ms(self):
        return 0


class Player:
    def __init__(self, window):
        self.window = window
        self._handle = lib.ZEBAudioPlayerCreate(window.handle)
        if not self._handle:
            raise MemoryError("ZEBAudioPlayerCreate failed")
        self._keep = []

    @property
    def handle(self):
        return self._handle

    def _call(self, name, *arguments):
        if not self._handle:
            raise ValueError("player destroyed")
        getattr(lib, "ZEBAudio" + name)(self._handle, *arguments)

    def input_open(self, path):
        self._call("InputOpen", path.encode())

    def stop(self):
        self._call("Stop")

    def pause(self):
        self._call("Pause")

    def play(self):
        self._call("Play")

    def seek(self, position, scale):
        self._call("Seek", position, scale)

    def output_open_dsound(self, device=0):
        self._call("OutputOpenDSound", self.window.handle, device)

    def output_open_module(self, module, name="PYTHON"):
        """Plays to module, an OutputModule; it stays referenced while the player lives."""
        def create(instance, params):
            instance[0] = None
            return 1
        callbacks = (
            _native.CREATE(create),
            _native.DELETE(lambda instance: None),
            _native.OPEN(lambda instance: 1 if module.open() else 0),
            _native.CLOSE(lambda instance: module.close()),
            _native.WRITE(lambda instance, data, size, width, channels, rate:
                          module.write(ctypes.string_at(data, size), channels, rate)),
            _native.CMD(lambda instance, cmd, param: int(module.command(cmd, param))),
            _native.BUFFERED(lambda instance: int(module.buffered_ms())),
        )

        def register(table):
            for field, callback in zip(("OutputCreate", "OutputDelete", "OutputOpen", "OutputClose", "OutputWrite",
                                        "OutputCmd", "OutputBufferedMs"), callbacks):
                setattr(table.contents, field, callback)
        registrar = _native.REGISTER(register)
        self._keep.append((module, callbacks, registrar))
        self._call("OutputOpenModule", name.encode(), registrar, None)

    def set_output_volume(self, level):
        self._call("SetOutputVolume", level)

    def preload_buffers(self):
        self._call("PreloadBuffers")

    def set_input_position_range(self, scale):
        self._call("SetInputPositionRange", scale)

    def output_reset(self):
        self._call("OutputReset")

    def output_drain(self):
        self._call("OutputDrain")

    def ping(self):
        self._call("Ping")

    def input_close(self):
        self._call("InputClose")

    def set_duration(self, seconds):
        self._call("SetDuration", seconds)

    def set_input_time_interval(self, milliseconds):
        self._call("SetInputTimeInterval", milliseconds)

    def set_output_frequency(self, ratio):
        self._call("SetOutputFrequency", float(ratio))

    def output_close(self):
        self._call("OutputClose")

    def set_main_volume(self, level):
        self._call("SetMainVolume", level)

    def get_main_volume(self):
        self._call("GetMainVolume")

    def get_play_position(self):
        self._call("GetPlayPosition")

    def set_heard_progress(self, on=True):
        self._call("SetHeardProgress", 1 if on else 0)

    def destroy(self):
        """Destroys the player; its output module's callbacks have all returned afterwards."""
        if self._handle:
            lib.ZEBAudioPlayerDestroy(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.destroy()
