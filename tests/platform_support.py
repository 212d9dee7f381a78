"""What the tests need from the platform: its C runtime, the memory in use,
and the line end the documents have on disk.

norvik writes with the C runtime of its build: glibc on Linux, the Universal
C Runtime (ucrtbase) on Windows, where documents are text files whose line
feeds reach the disk as CR LF.
"""
import ctypes
import os
import sys

WINDOWS = sys.platform == "win32"
NEWLINE = b"\r\n" if WINDOWS else b"\n"

# Wine's ucrtbase rounds exact ties of printf away from zero, as Microsoft's
# did before Windows 10 version 2004; today's UCRT, like glibc, rounds them
# to even. Under wine the C runtime's formatting is therefore stood in for
# by Python's, which is correctly rounded.
WINE = WINDOWS and hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")

if WINDOWS:
    CRT = ctypes.CDLL("ucrtbase")
    # printf and its family are inline in the UCRT's headers, over this one entry.
    _vsprintf = CRT.__stdio_common_vsprintf
    _vsprintf.argtypes = [ctypes.c_uint64, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p,
                          ctypes.c_void_p, ctypes.c_void_p]
else:
    CRT = ctypes.CDLL(None)
_buf = ctypes.create_string_buffer(512)


def c_format(fmt, value):
    """``fmt`` (bytes) formatted by the C runtime with one ctypes ``value``."""
    if WINE:
        return fmt % value.value
    if WINDOWS:
        # A Windows x64 va_list: one 8-byte slot per argument.
        slots = (ctypes.c_uint64 * 1)()
        ctypes.memmove(slots, ctypes.byref(value), ctypes.sizeof(value))
        _vsprintf(0, _buf, len(_buf), fmt, None, slots)
    else:
        CRT.snprintf(_buf, len(_buf), fmt, value)
    return _buf.value


def on_disk(text):
    """The bytes a document written as ``text`` (bytes with "\\n") has on disk."""
    return text.replace(b"\n", NEWLINE) if WINDOWS else text


if WINDOWS:
    class _Counters(ctypes.Structure):
        _fields_ = [("cb", ctypes.c_uint32), ("PageFaultCount", ctypes.c_uint32)] + [
            (name, ctypes.c_size_t) for name in (
                "PeakWorkingSetSize", "WorkingSetSize", "QuotaPeakPagedPoolUsage",
                "QuotaPagedPoolUsage", "QuotaPeakNonPagedPoolUsage", "QuotaNonPagedPoolUsage",
                "PagefileUsage", "PeakPagefileUsage")]

    def rss():
        """Bytes of the process's working set."""
        counters = _Counters()
        counters.cb = ctypes.sizeof(counters)
        kernel = ctypes.WinDLL("kernel32")
        kernel.GetCurrentProcess.restype = ctypes.c_void_p
        ctypes.WinDLL("psapi").GetProcessMemoryInfo(
            ctypes.c_void_p(kernel.GetCurrentProcess()), ctypes.byref(counters), counters.cb)
        return counters.WorkingSetSize
else:
    _PAGE = os.sysconf("SC_PAGE_SIZE")

    def rss():
        """Bytes of the process's resident memory."""
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * _PAGE


def retry_wine_process_starts(attempts=5):
    """Under wine, CreateProcess now and then fails with ERROR_INTERNAL_ERROR
    (1359) when the machine is busy: the wineserver's fault, not the child's.
    Starting the child again is what a user would do; any other error, or the
    same one five times over, still reaches the test."""
    if not WINE:
        return
    import subprocess
    import time
    start = subprocess.Popen._execute_child

    def execute_child(self, *args, **kwargs):
        for attempt in range(attempts):
            try:
                return start(self, *args, **kwargs)
            except OSError as error:
                if getattr(error, "winerror", None) != 1359 or attempt == attempts - 1:
                    raise
                time.sleep(0.2 * (attempt + 1))

    subprocess.Popen._execute_child = execute_child
