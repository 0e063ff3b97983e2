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
