# SPDX-License-Identifier: Apache-2.0
"""The window: the printers, the chosen one's state, its print job.

The layout is window.ui's; this class binds it to the model (a
:class:`PrinterList` and the :class:`PrinterItem` shown) and carries out
the window's actions. It never calls the helper itself: every call runs on
another thread and comes back through the main loop.
"""

from __future__ import annotations

import time
from pathlib import Path
from typing import Any, Callable, Optional

from gi.repository import Adw, Gdk, Gio, GLib, GObject, Gtk

import zelvik

from .background import run_in_background
from .printers import PrinterDetails, PrinterItem, PrinterList, read_details
from .printing import PrintTask
from .texts import failure_sentence
from .watcher import PrinterWatcher

HERE = Path(__file__).parent


def _escaped(text: str) -> str:
    """Device text where a widget reads markup."""
    return GLib.markup_escape_text(text)


@Gtk.Template(filename=str(HERE / "window.ui"))
class UtilityWindow(Adw.ApplicationWindow):
    __gtype_name__ = "ZelvikUtilityWindow"

    REFRESH_SECONDS = 30
    """How often the shown printer's state is read while the window is seen."""

    toasts: Adw.ToastOverlay = Gtk.Template.Child()
    leaflet: Adw.Leaflet = Gtk.Template.Child()
    sidebar_title: Adw.WindowTitle = Gtk.Template.Child()
    list_stack: Gtk.Stack = Gtk.Template.Child()
    printer_list: Gtk.ListBox = Gtk.Template.Child()
    empty_page: Adw.StatusPage = Gtk.Template.Child()
    none_page: Adw.StatusPage = Gtk.Template.Child()
    content: Gtk.Box = Gtk.Template.Child()
    content_title: Adw.WindowTitle = Gtk.Template.Child()
    content_stack: Gtk.Stack = Gtk.Template.Child()
    reading_spinner: Gtk.Spinner = Gtk.Template.Child()
    notice_label: Gtk.Label = Gtk.Template.Child()
    state_group: Adw.PreferencesGroup = Gtk.Template.Child()
    status_value: Gtk.Label = Gtk.Template.Child()
    online_value: Gtk.Label = Gtk.Template.Child()
    pages_value: Gtk.Label = Gtk.Template.Child()
    model_value: Gtk.Label = Gtk.Template.Child()
    serial_value: Gtk.Label = Gtk.Template.Child()
    uri_value: Gtk.Label = Gtk.Template.Child()
    job_card: Gtk.Box = Gtk.Template.Child()
    job_title: Gtk.Label = Gtk.Template.Child()
    job_progress: Gtk.ProgressBar = Gtk.Template.Child()
    job_detail: Gtk.Label = Gtk.Template.Child()
    cancel_button: Gtk.Button = Gtk.Template.Child()

    def __init__(self, application: Adw.Application, helper: zelvik.Helper, bus: Optional[str] = None) -> None:
        super().__init__(application=application)
        self.helper = helper
        self.printers = PrinterList()
        self.shown: Optional[PrinterItem] = None
        self._shown_handlers: list[tuple[GObject.Object, int]] = []
        self._listed = False
        self._closing = False
        self._actions: dict[str, Gio.SimpleAction] = {}
        self._chooser: Optional[Gtk.FileChooserNative] = None
        self._row_handlers: dict[PrinterItem, list[int]] = {}
        self._tasks: set[PrintTask] = set()

        self._empty_title = self.empty_page.get_title()
        self._empty_description = self.empty_page.get_description()
        self.printer_list.bind_model(self.printers.store, self._make_row)
        if bus is not None:
            self.sidebar_title.set_subtitle("Virtual Printers")
            self.sidebar_title.set_tooltip_text(f"The virtual printers of {bus}")
        self.set_help_overlay(Gtk.Builder.new_from_file(str(HERE / "shortcuts.ui")).get_object("help_overlay"))
        self._add_actions()
        self.connect("close-request", self._on_close_request)

        self._watcher = PrinterWatcher(
            helper, on_added=self._on_added, on_removed=self._on_removed, on_failed=self._on_listing_failed,
            on_settled=self._on_settled, on_unwatched=self._on_unwatched,
        )
        self._watcher.start()
        self._timer = GLib.timeout_add_seconds(self.REFRESH_SECONDS, self._on_refresh_timer)
        self._show(None)

    # The printer list.

    def _make_row(self, item: PrinterItem) -> Gtk.Widget:
        title = Gtk.Label(xalign=0, ellipsize=3)  # Pango.EllipsizeMode.END
        subtitle = Gtk.Label(xalign=0, ellipsize=3, css_classes=["caption", "dim-label"])
        labels = Gtk.Box(orientation=Gtk.Orientation.VERTICAL, spacing=2, valign=Gtk.Align.CENTER)
        labels.append(title)
        labels.append(subtitle)
        box = Gtk.Box(spacing=12, margin_top=6, margin_bottom=6, margin_start=6, margin_end=6)
        box.append(Gtk.Image(icon_name="printer-symbolic", pixel_size=24))
        box.append(labels)
        row = Gtk.ListBoxRow(child=box)
        row.item = item

        def show(*_: Any) -> None:
            extra = f" · {item.activity}" if item.activity else ""
            title.set_label(item.model)
            subtitle.set_label(item.serial + extra)
            row.update_property([Gtk.AccessibleProperty.LABEL], [f"{item.model}, serial number {item.serial}{extra}"])

        show()
        # Disconnected when the printer leaves the list (and its row goes).
        self._row_handlers[item] = [item.connect(f"notify::{name}", show) for name in ("model", "serial", "activity")]
        return row

    def _row_of(self, item: PrinterItem) -> Optional[Gtk.ListBoxRow]:
        for index, candidate in enumerate(self.printers):
            if candidate is item:
                return self.printer_list.get_row_at_index(index)
        return None

    def select(self, item: PrinterItem) -> None:
        """Shows a printer of the list, as choosing its row does."""
        row = self._row_of(item)
        if row is not None:
            self.printer_list.select_row(row)

    @Gtk.Template.Callback()
    def on_row_selected(self, _list: Gtk.ListBox, row: Optional[Gtk.ListBoxRow]) -> None:
        # A printer unplugged while shown stays on show, its job's outcome with it.
        if row is None and self.shown is not None and not self.shown.attached:
            return
        self._show(row.item if row is not None else None)

    @Gtk.Template.Callback()
    def on_row_activated(self, _list: Gtk.ListBox, _row: Gtk.ListBoxRow) -> None:
        self.leaflet.set_visible_child(self.content)

    def _update_list_page(self) -> None:
        if not self._listed:
            page = "looking"
        else:
            page = "printers" if len(self.printers) else "empty"
        self.list_stack.set_visible_child_name(page)
        self.none_page.set_description(
            "Choose a printer in the list to see its state and to print to it." if len(self.printers)
            else "A printer shows up in the list as soon as it is plugged in.")

    # What the watch tells.

    def _on_settled(self) -> None:
        self._listed = True
        self._update_list_page()

    def _on_added(self, printer: zelvik.Printer) -> None:
        item = self.printers.add(printer)
        # A listing succeeded: an earlier failure is no longer the news.
        self.empty_page.set_title(self._empty_title)
        self.empty_page.set_description(self._empty_description)
        self._update_list_page()
        # The unplugged printer on show is back: show it as it is now.
        if self.shown is not None and not self.shown.attached and self.shown.uri == item.uri:
            self.select(item)

    def _on_removed(self, printer: zelvik.Printer) -> None:
        item = self.printers.remove(printer.uri)
        if item is not None:
            for handler in self._row_handlers.pop(item, []):
                item.disconnect(handler)
            item.activity = "Unplugged"
        self._update_list_page()

    def _on_listing_failed(self, error: Exception, first: bool) -> None:
        sentence = failure_sentence(error)
        if first:
            self.empty_page.set_title("Printers Not Listed")
            self.empty_page.set_description(_escaped(sentence))
        else:
            self.toast(f"The printers could not be listed again. {sentence}")

    def _on_unwatched(self, error: Exception) -> None:
        self.toast(f"Printers plugged in or unplugged from now on will not show: {failure_sentence(error)}")

    # The printer on show.

    def _show(self, item: Optional[PrinterItem]) -> None:
        for source, handler in self._shown_handlers:
            source.disconnect(handler)
        self._shown_handlers = []
        self.shown = item
        if item is None:
            self.content_stack.set_visible_child_name("none")
            self.content_title.set_title("")
            self.reading_spinner.set_spinning(False)
            self._update_actions()
            return
        self.content_stack.set_visible_child_name("printer")
        for name in ("details", "details-error", "reading", "attached"):
            self._watch(item, f"notify::{name}", lambda *_: self._update_details())
        self._watch(item, "notify::task", lambda *_: self._bind_task())
        self._update_details()
        self._bind_task()
        details: Optional[PrinterDetails] = item.details
        if details is None or time.time() - details.read_at >= self.REFRESH_SECONDS:
            self.refresh()

    def _watch(self, source: GObject.Object, signal: str, handler: Callable[..., None]) -> None:
        self._shown_handlers.append((source, source.connect(signal, handler)))

    def _update_details(self) -> None:
        item = self.shown
        if item is None:
            return
        details: Optional[PrinterDetails] = item.details
        unknown = "Unknown" if details is not None or item.details_error else "…"
        self.content_title.set_title(item.model)
        self.content_title.set_subtitle(item.serial)
        self.model_value.set_label((details.model if details else None) or item.model)
        self.serial_value.set_label(item.serial)
        self.uri_value.set_label(item.uri)
        if details is not None and (details.display or details.status_code):
            status = " ".join(filter(None, [details.display, f"({details.status_code})" if details.status_code else None]))
        else:
            status = unknown
        self.status_value.set_label(status)
        online = details.online if details is not None else None
        self.online_value.set_label(unknown if online is None else "Yes" if online else "No")
        pages = details.page_count if details is not None else None
        self.pages_value.set_label(unknown if pages is None else str(pages))
        self.reading_spinner.set_spinning(item.reading)
        self.reading_spinner.set_visible(item.reading)
        if item.details_error:
            description = f"Could not be read: {item.details_error}"
        elif item.reading:
            description = "Reading…"
        elif details is not None:
            description = time.strftime("Read at %H:%M:%S", time.localtime(details.read_at))
        else:
            description = ""
        self.state_group.set_description(_escaped(description))
        self.notice_label.set_visible(not item.attached)
        self._update_actions()

    def _bind_task(self) -> None:
        item = self.shown
        task: Optional[PrintTask] = item.task if item is not None else None
        self.job_card.set_visible(task is not None)
        if task is None:
            self._update_actions()
            return
        for name in ("state", "running", "fraction", "percent-text", "detail-text", "title-text"):
            self._watch(task, f"notify::{name}", lambda *_: self._update_job(task))
        self._update_job(task)

    def _update_job(self, task: PrintTask) -> None:
        self.job_title.set_label(task.title_text)
        for style, states in (("error", (PrintTask.FAILED,)), ("success", (PrintTask.DONE,))):
            if task.state in states:
                self.job_title.add_css_class(style)
            else:
                self.job_title.remove_css_class(style)
        self.job_progress.set_fraction(task.fraction)
        self.job_progress.set_text(task.percent_text)
        self.job_progress.set_visible(task.state != PrintTask.FAILED or task.fraction > 0)
        self.job_detail.set_label(task.detail_text)
        self.cancel_button.set_visible(task.running)
        self._update_actions()

    # Reading the state.

    def refresh(self) -> None:
        """Reads the shown printer's state again, unless a job of this window
        is printing on it or a reading is under way."""
        item = self.shown
        if item is None or not item.attached or item.printing or item.reading:
            return
        item.reading = True
        uri = item.uri

        def done(details: Optional[PrinterDetails], error: Optional[Exception]) -> None:
            item.details_error = failure_sentence(error) if error is not None else ""
            if details is not None:
                item.details = details
            item.reading = False

        run_in_background(lambda: read_details(uri, self.helper), done)

    def _details_seen(self) -> bool:
        if not self.get_mapped():
            return False
        surface = self.get_surface()
        if surface is not None and surface.get_state() & Gdk.ToplevelState.MINIMIZED:
            return False
        return not self.leaflet.get_folded() or self.leaflet.get_visible_child() is self.content

    def _on_refresh_timer(self) -> bool:
        if self._details_seen():
            self.refresh()
        return GLib.SOURCE_CONTINUE

    # The actions.

    def _add_actions(self) -> None:
        def add(name: str, handler: Callable[..., None], parameter: Optional[str] = None) -> None:
            action = Gio.SimpleAction(name=name, parameter_type=GLib.VariantType(parameter) if parameter else None)
            action.connect("activate", handler)
            self.add_action(action)
            self._actions[name] = action

        add("refresh", lambda *_: self.refresh())
        add("print", lambda *_: self._choose_file())
        add("print-file", lambda _action, path: self.print_file(path.get_string()), "s")
        add("cancel-print", lambda *_: self._cancel_print())
        add("test-connection", lambda *_: self._test_connection())
        add("copy-uri", lambda *_: self._copy_uri())
        add("back", lambda *_: self.leaflet.navigate(Adw.NavigationDirection.BACK))

    def _update_actions(self) -> None:
        item = self.shown
        usable = item is not None and item.attached
        printing = item is not None and item.printing
        enabled = {
            "refresh": usable and not printing and not item.reading,
            "print": usable and not printing,
            "print-file": usable and not printing,
            "cancel-print": printing and item.task.state != PrintTask.CANCELLING,
            "test-connection": usable and not printing,
            "copy-uri": item is not None,
        }
        for name, on in enabled.items():
            self._actions[name].set_enabled(bool(on))

    def _choose_file(self) -> None:
        chooser = Gtk.FileChooserNative(
            title="Print a File", transient_for=self, modal=True,
            action=Gtk.FileChooserAction.OPEN, accept_label="_Print",
        )
        for name, patterns in (
            ("Print files", ["*.prn", "*.pcl", "*.ps", "*.pdf", "*.pjl", "*.txt"]),
            ("All files", ["*"]),
        ):
            file_filter = Gtk.FileFilter(name=name)
            for pattern in patterns:
                file_filter.add_pattern(pattern)
            chooser.add_filter(file_filter)

        def response(dialog: Gtk.FileChooserNative, answer: int) -> None:
            chosen = dialog.get_file() if answer == Gtk.ResponseType.ACCEPT else None
            self._chooser = None
            if chosen is not None and chosen.get_path():
                self.activate_action("win.print-file", GLib.Variant("s", chosen.get_path()))

        chooser.connect("response", response)
        self._chooser = chooser  # a native dialog is not kept alive by GTK
        chooser.show()

    def print_file(self, path: str) -> None:
        """Sends a file to the shown printer, as "Print a File…" does."""
        item = self.shown
        if item is None or not item.attached or item.printing:
            return
        task = PrintTask(item.uri, path, self.helper)

        def progressed(*_: Any) -> None:
            if task.running:
                item.activity = "Cancelling" if task.state == PrintTask.CANCELLING else f"Printing {task.percent_text}"

        def ended(*_: Any) -> None:
            if task.running:
                return
            item.activity = "" if item.attached else "Unplugged"
            if item is not self.shown:
                self.toast(f"{item.model}: {task.title_text}. {task.detail_text}")
            elif item.attached:
                self.refresh()  # the page count has moved on
            self._tasks.discard(task)
            self._task_ended()

        task.connect("notify::percent-text", progressed)
        task.connect("notify::state", progressed)
        task.connect("notify::running", ended)
        item.task = task
        self._tasks.add(task)
        progressed()
        task.start()
        self._update_actions()

    def _cancel_print(self) -> None:
        if self.shown is not None and self.shown.printing:
            self.shown.task.cancel()

    def _test_connection(self) -> None:
        item = self.shown
        if item is None or not item.attached:
            return
        uri, model = item.uri, item.model

        def done(active: Optional[bool], error: Optional[Exception]) -> None:
            if error is not None:
                self.toast(f"{model}: {failure_sentence(error)}")
            elif active:
                self.toast(f"{model} is connected and free to print.")
            else:
                self.toast(f"{model} cannot be opened now: it may be switched off, unplugged or in use by another program.")

        run_in_background(lambda: zelvik.is_active(uri, helper=self.helper), done)

    def _copy_uri(self) -> None:
        if self.shown is not None:
            self.get_clipboard().set(self.shown.uri)
            self.toast("Device URI copied")

    def toast(self, text: str) -> None:
        self.toasts.add_toast(Adw.Toast(title=_escaped(text), timeout=5))

    # Closing.

    def _on_close_request(self, _window: Gtk.Window) -> bool:
        if not self._tasks or self._closing:
            self._watcher.stop()
            GLib.source_remove(self._timer)
            return False
        dialog = Adw.MessageDialog(
            transient_for=self, modal=True, heading="Stop Printing?",
            body="A print job is still running. Closing the window cancels it: the printer may print part of the file.",
        )
        dialog.add_response("keep", "_Keep Printing")
        dialog.add_response("stop", "_Stop and Close")
        dialog.set_response_appearance("stop", Adw.ResponseAppearance.DESTRUCTIVE)
        dialog.set_default_response("keep")
        dialog.set_close_response("keep")

        def response(_dialog: Adw.MessageDialog, answer: str) -> None:
            if answer != "stop":
                return
            # The window goes at once; the process stays until the helper
            # has stopped, so that no job is left running unseen.
            self._closing = True
            self.set_visible(False)
            for task in list(self._tasks):
                task.cancel()
            self._task_ended()

        dialog.connect("response", response)
        dialog.present()
        return True

    def _task_ended(self) -> None:
        if self._closing and not self._tasks:
            self.close()
