"""Loading the library and reading its constants from its installed header."""
import ctypes
import ctypes.util
import os
import re
import subprocess

LIBRARY = "libzeb-audio.so.0"


def _pkg_config(variable):
    """A variable of the installed zeb-audio.pc, or None."""
    try:
        out = subprocess.run(["pkg-config", "--variable=" + variable, "zeb-audio"], capture_output=True, text=True)
    except OSError:
        return None
    return out.stdout.strip() if out.returncode == 0 and out.stdout.strip() else None


def _load_library():
    """ZEB_AUDIO_LIBRARY, else the linker's search (an install in a system prefix after ldconfig),
    else pkg-config's libdir, else /usr/local/lib (an install whose ldconfig was forgotten)."""
    libdir = _pkg_config("libdir")
    candidates = [os.environ.get("ZEB_AUDIO_LIBRARY"), ctypes.util.find_library("zeb-audio"), LIBRARY,
                  libdir and os.path.join(libdir, LIBRARY), os.path.join("/usr/local/lib", LIBRARY)]
    errors = []
    for name in filter(None, candidates):
        try:
            return ctypes.CDLL(name)
        except OSError as error:
            errors.append(str(error))
    raise OSError("libzeb-audio not found (install it and run ldconfig, or set ZEB_AUDIO_LIBRARY): "
                  + "; ".join(errors))


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p), ("dli_sname", ctypes.c_char_p),
                ("dli_saddr", ctypes.c_void_p)]


def _library_file(library):
    """The path the library was loaded from, or None."""
    try:
        dladdr = ctypes.CDLL(None).dladdr
    except (OSError, AttributeError):
        return None
    dladdr.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DlInfo)]
    info = _DlInfo()
    symbol = ctypes.cast(library.ZEBAudioGetVersion, ctypes.c_void_p)
    if not dladdr(symbol, ctypes.byref(info)) or not info.dli_fname:
        return None
    return os.path.realpath(os.fsdecode(info.dli_fname))


def _header_path(library):
    """ZEB_AUDIO_HEADER, else the include folder of the library's prefix (lib/ or lib/<triplet>/
    below it; a build tree's include/ beside it), else pkg-config's, else the system's."""
    explicit = os.environ.get("ZEB_AUDIO_HEADER")
    if explicit:
        return explicit
    folders = []
    loaded = _library_file(library)
    if loaded:
        up = os.path.dirname(loaded)
        for _ in range(3):
            up = os.path.dirname(up)
            folders.append(os.path.join(up, "include"))
    folders += [_pkg_config("includedir"), "/usr/local/include", "/usr/include"]
    for folder in filter(None, folders):
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
constants = read_constants(_header_path(lib))


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
