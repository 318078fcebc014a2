# SPDX-License-Identifier: Apache-2.0
"""The C interface of libzelvik-client.so.0, as ctypes sees it.

The library is loaded by its SONAME the first time it is needed, so that
``import zelvik`` and ``help(zelvik)`` work without it. Every handle is a
``c_void_p``; strings go in as bytes and come out as bytes.
"""

from __future__ import annotations

import ctypes
import threading
from typing import Any

SONAME = "libzelvik-client.so.0"

OK = 0
ERROR_INVALID = -1
ERROR_NO_MEMORY = -2
ERROR_STILL_RUNNING = -3
ERROR_NOT_FOUND = -4

PRINTER_ADDED = 1
PRINTER_REMOVED = 2
LISTING_FAILED = 3
WATCH_READY = 4

PROGRESS_FN = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_void_p)
WATCH_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p)

_p = ctypes.c_void_p
_pp = ctypes.POINTER(ctypes.c_void_p)
_int = ctypes.c_int
_size = ctypes.c_size_t
_str = ctypes.c_char_p
_strs = ctypes.POINTER(ctypes.c_char_p)

# name: (result type, argument types)
_PROTOTYPES: dict[str, tuple[Any, list[Any]]] = {
    "zelvik_result_name": (_str, [_int]),
    "zelvik_version": (_str, []),
    "zelvik_error_kind": (_int, [_p]),
    "zelvik_error_helper_code": (_int, [_p]),
    "zelvik_error_message": (_str, [_p]),
    "zelvik_error_advice": (_str, [_p]),
    "zelvik_error_reason": (_str, [_p]),
    "zelvik_error_free": (None, [_p]),
    "zelvik_helper_new_installed": (_int, [_pp]),
    "zelvik_helper_new_simulated": (_int, [_str, _str, _pp]),
    "zelvik_helper_new": (_int, [_str, _strs, _pp]),
    "zelvik_helper_program": (_str, [_p]),
    "zelvik_helper_free": (None, [_p]),
    "zelvik_list_printers": (_int, [_p, _int, _pp, _pp]),
    "zelvik_printer_list_count": (_size, [_p]),
    "zelvik_printer_list_model": (_str, [_p, _size]),
    "zelvik_printer_list_serial": (_str, [_p, _size]),
    "zelvik_printer_list_uri": (_str, [_p, _size]),
    "zelvik_printer_list_free": (None, [_p]),
    "zelvik_is_machine_active": (_int, [_p, _str, ctypes.POINTER(_int), _pp]),
    "zelvik_job_start_list": (_int, [_p, _int, _pp, _pp]),
    "zelvik_job_start_active": (_int, [_p, _str, _pp, _pp]),
    "zelvik_job_printers": (_p, [_p]),
    "zelvik_job_active": (_int, [_p]),
    "zelvik_job_start_print": (_int, [_p, _str, _str, PROGRESS_FN, _p, _pp, _pp]),
    "zelvik_job_start_pjl": (_int, [_p, _str, _strs, _int, _pp, _pp]),
    "zelvik_job_start_pjl_bytes": (_int, [_p, _str, _p, _size, _int, _pp, _pp]),
    "zelvik_job_cancel": (None, [_p]),
    "zelvik_job_wait": (_int, [_p, _int]),
    "zelvik_job_fd": (_int, [_p]),
    "zelvik_job_progress": (_int, [_p]),
    "zelvik_job_cancelled": (_int, [_p]),
    "zelvik_job_error": (_p, [_p]),
    "zelvik_job_answer": (ctypes.POINTER(ctypes.c_char), [_p, ctypes.POINTER(_size)]),
    "zelvik_job_free": (None, [_p]),
    "zelvik_watch_new": (_int, [_p, WATCH_FN, _p, _pp, _pp]),
    "zelvik_watch_stop": (None, [_p]),
    "zelvik_watch_free": (None, [_p]),
    "zelvik_watch_event_kind": (_int, [_p]),
    "zelvik_watch_event_initial": (_int, [_p]),
    "zelvik_watch_event_model": (_str, [_p]),
    "zelvik_watch_event_serial": (_str, [_p]),
    "zelvik_watch_event_uri": (_str, [_p]),
    "zelvik_watch_event_error": (_p, [_p]),
    "zelvik_pjl_answer_new": (_int, [_str, _size, _pp]),
    "zelvik_pjl_answer_free": (None, [_p]),
    "zelvik_pjl_answer_block_count": (_size, [_p]),
    "zelvik_pjl_answer_find": (_int, [_p, _str, ctypes.POINTER(_size)]),
    "zelvik_pjl_block_header": (_str, [_p, _size]),
    "zelvik_pjl_block_complete": (_int, [_p, _size]),
    "zelvik_pjl_block_line_count": (_size, [_p, _size]),
    "zelvik_pjl_block_value": (_str, [_p, _size, _str]),
    "zelvik_pjl_block_bare_value": (_str, [_p, _size]),
    "zelvik_pjl_line_key": (_str, [_p, _size, _size]),
    "zelvik_pjl_line_value": (_str, [_p, _size, _size]),
    "zelvik_pjl_line_quoted": (_int, [_p, _size, _size]),
}

_loaded: ctypes.CDLL | None = None
_loading = threading.Lock()


def lib() -> ctypes.CDLL:
    """The loaded library, its functions typed; loaded on the first call."""
    global _loaded
    if _loaded is None:
        with _loading:
            if _loaded is None:
                try:
                    library = ctypes.CDLL(SONAME)
                except OSError as error:
                    raise ImportError(
                        f"{SONAME} cannot be loaded ({error}): install the Debian package "
                        "libzelvik-client0, or put the library's folder in LD_LIBRARY_PATH"
                    ) from error
                for name, (restype, argtypes) in _PROTOTYPES.items():
                    function = getattr(library, name)
                    function.restype = restype
                    function.argtypes = argtypes
                _loaded = library
    return _loaded


def string_array(strings: list[bytes]) -> Any:
    """A NULL-terminated ``const char *const *`` of ``strings``."""
    array = (ctypes.c_char_p * (len(strings) + 1))(*strings, None)
    return ctypes.cast(array, _strs)
