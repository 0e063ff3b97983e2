"""An elapsed-time line on a terminal while a long native call runs."""

import sys
import threading
import time

# Seconds between refreshes of the line.
INTERVAL_DEFAULT = 1.0


# Context manager: while active, rewrites "message: N s elapsed" on the stream
# from a background thread. The native fit releases the interpreter lock, so
# the thread keeps ticking during the call. Silent unless the stream is a
# terminal: logs and pipes get no carriage-return clutter.
class ElapsedTicker:
    # The ticker shows on `stream` (default stderr) when that is a terminal and
    # `enabled` is true (a fit run for someone else, as in a batch, shows none).
    def __init__(self, message, stream=None, interval=INTERVAL_DEFAULT, enabled=True):
        self.message = message
        self.stream = sys.stderr if stream is None else stream
        self.interval = interval
        self.enabled = enabled and bool(getattr(self.stream, "isatty", lambda: False)())
        self._stop = threading.Event()
        self._thread = None
        self._width = 0
        self.started = 0.0

    # Seconds since the ticker was entered.
    def elapsed(self):
        return time.monotonic() - self.started

    # Start the clock and, on a terminal, the ticking thread.
    def __enter__(self):
        self.started = time.monotonic()
        if self.enabled:
            self._thread = threading.Thread(target=self._run, name="tarvo-ticker", daemon=True)
            self._thread.start()
        return self

    # Stop the thread and clear the line; exceptions pass through.
    def __exit__(self, *exc):
        if self._thread is not None:
            self._stop.set()
            self._thread.join()
            # Blank the line so that what follows starts clean.
            self.stream.write("\r" + " " * self._width + "\r")
            self.stream.flush()
        return False

    # Refresh the line until stopped.
    def _run(self):
        self._show()
        while not self._stop.wait(self.interval):
            self._show()

    # Rewrite the line with the current elapsed time.
    def _show(self):
        text = f"{self.message}: {self.elapsed():.0f} s elapsed"
        self._width = max(self._width, len(text))
        self.stream.write("\r" + text.ljust(self._width))
        self.stream.flush()


# Seconds a piece of work runs before its progress bar appears: shorter work
# finishes before a bar would tell anything.
BAR_DELAY = 1.0


# Context manager yielding advance(done): a tqdm progress bar with the time
# left on stderr while `total` steps of `unit` run, shown only when stderr is
# a terminal, `enabled` is true and the work lasts longer than `delay`
# seconds; a no-op where tqdm is not installed.
class ProgressBar:
    # The bar's total, label and unit; `enabled` false shows nothing.
    def __init__(self, total, label, unit, enabled=True, delay=BAR_DELAY, stream=None):
        self.total, self.label, self.unit = total, label, unit
        self.enabled, self.delay = enabled, delay
        self.stream = sys.stderr if stream is None else stream
        self._bar = None

    # Start the bar (if it can show) and return the advance function.
    def __enter__(self):
        if self.enabled and getattr(self.stream, "isatty", lambda: False)():
            try:
                from tqdm import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                self._bar = tqdm(total=self.total, desc=self.label, unit=self.unit,
                                 delay=self.delay, leave=False, file=self.stream,
                                 dynamic_ncols=True)
        return self.advance

    # Show `done` steps finished (whatever order they finished in).
    def advance(self, done):
        if self._bar is not None:
            self._bar.update(done - self._bar.n)

    # Remove the bar; exceptions pass through.
    def __exit__(self, *exc):
        if self._bar is not None:
            self._bar.close()
        return False
