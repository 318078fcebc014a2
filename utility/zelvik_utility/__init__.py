# SPDX-License-Identifier: Apache-2.0
"""zelvik-utility: the vendor's USB printers in a window.

A GTK 4 application on the ``zelvik`` package: the attached printers, kept
current as they are plugged in and out; a printer's state read with PJL;
print jobs with their progress and a cancel; a connection test. Every call
to the helper runs off the main loop and hands its result back to it.

The modules without a widget (``printers``, ``printing``, ``texts``,
``background``, ``watcher``) hold the logic and are tested without a
display; ``window`` and ``application`` only show it.
"""

APP_ID = "org.zelvik.Utility"
"""The application ID: it names the desktop file, the metainfo and the icon."""

__version__ = "0.1.0"
