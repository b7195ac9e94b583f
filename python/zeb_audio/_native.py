"""Loading the library and reading its constants from its installed header."""
import ctypes
import ctypes.util
import os
import re
import subprocess


def _load_library():
    candidates = [os.environ.get("ZEB_AUDIO_LIBRARY"), ctypes.util.find_library("zeb-audio"), "libzeb-audio.so.0"]
    errors = []
    for name in filter(None, candidates):
        try:
            return ctypes.CDLL(name)
        except OSError as error:
            errors.append(str(error))
    raise OSError("libzeb-audio not found (set ZEB_AUDIO_LIBRARY): " + "; ".join(errors))


def _header_path():
    explicit = os.environ.get("ZEB_AUDIO_HEADER")
    if explicit:
        return explicit
    folders = []
    try:
        out = subprocess.run(["pkg-config", "--variable=includedir", "zeb-audio"], capture_output=True, text=True)
        if out.returncode == 0 and out.stdout.strip():
            folders.append(out.stdout.strip())
    except OSError:
        pass
    folders += ["/usr/local/include", "/usr/include"]
    for folder in folders:
        path = os.path.join(folder, "zeb-audio.h")
        if os.path.exists(path):
            return path
    raise OSError("zeb-audio.h not found (set ZEB_AUDIO_HEADER)")


def read_constants(path):
    """Every ZEB_ integer #define and enum constant of the header."""
    with open(path, encoding="utf-8") as header:
        text = header.read()
    found = {}
    for name, value in re.findall(r"#define\s+(ZEB_[A-Z0-9_]+)\s+(0x[0-9A-Fa-f]+|\d+)\b", text):
        found[name] = int(value, 0)
    for name, value in re.findall(r"\b(ZEB_PLAYER_STATE_[A-Z]+)\s*=\s*(\d+)", text):
        found[name] = int(value)
    return found


lib = _load_library()
constants = read_constants(_header_path())


class Message(ctypes.Structure):
    _fields_ = [("Msg", ctypes.c_uint32), ("wParam", ctypes.c_uint32), ("lParam", ctypes.c_uint32),
                ("Player", ctypes.c_void_p)]


class TrackDetails(ctypes.Structure):
    _fields_ = [("Size", ctypes.c_uint32), ("LengthMs", ctypes.c_uint64), ("Frames", ctypes.c_uint64),
                ("SampleRate", ctypes.c_uint32), ("Channels", ctypes.c_uint32), ("BitRate", ctypes.c_uint32),
                ("VBR", ctypes.c_uint32), ("Codec", ctypes.c_char * 16), ("Container", ctypes.c_char * 16)]


CREATE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_void_p), ctypes.c_void_p)
DELETE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
OPEN = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)
CLOSE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
WRITE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint16,
                         ctypes.c_uint16, ctypes.c_uint32)
CMD = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint32)
BUFFERED = ctypes.CFUNCTYPE(ctypes.c_uint32, ctypes.c_void_p)


class OutputModule(ctypes.Structure):
    _fields_ = [("OutputCreate", CREATE), ("OutputDelete", DELETE), ("OutputOpen", OPEN), ("OutputClose", CLOSE),
                ("OutputWrite", WRITE), ("OutputCmd", CMD), ("OutputBufferedMs", BUFFERED)]


REGISTER = ctypes.CFUNCTYPE(None, ctypes.POINTER(OutputModule))


def _declare(name, result, *arguments):
    function = getattr(lib, name)
    function.restype = result
    function.argtypes = list(arguments)


_P = ctypes.c_void_p
_U = ctypes.c_uint32
_declare("ZEBWindowCreate", _P)
_declare("ZEBWindowDestroy", None, _P)
_declare("ZEBWindowGetMessage", ctypes.c_int, _P, ctypes.POINTER(Message), ctypes.c_int)
_declare("ZEBWindowFd", ctypes.c_int, _P)
_declare("ZEBAudioPlayerCreate", _P, _P)
_declare("ZEBAudioPlayerDestroy", None, _P)
_declare("ZEBAudioGetVersion", ctypes.c_char_p)
_declare("ZEBAudioGetTrackDetails", ctypes.c_int, ctypes.c_char_p, ctypes.POINTER(TrackDetails))
_declare("ZEBAudioFormatErrorString", None, ctypes.c_int, ctypes.c_int, ctypes.c_char_p)
_declare("ZEBAudioInputOpen", None, _P, ctypes.c_char_p)
_declare("ZEBAudioSeek", None, _P, _U, _U)
_declare("ZEBAudioOutputOpenDSound", None, _P, _P, _U)
_declare("ZEBAudioOutputOpenModule", None, _P, ctypes.c_char_p, REGISTER, _P)
_declare("ZEBAudioSetOutputFrequency", None, _P, ctypes.c_double)
for _name in ("Stop", "Pause", "Play", "PreloadBuffers", "OutputReset", "OutputDrain", "Ping", "InputClose",
              "OutputClose", "GetMainVolume", "GetPlayPosition"):
    _declare("ZEBAudio" + _name, None, _P)
for _name in ("SetOutputVolume", "SetInputPositionRange", "SetDuration", "SetInputTimeInterval", "SetMainVolume",
              "SetHeardProgress"):
    _declare("ZEBAudio" + _name, None, _P, _U)
