// Signal polling for native fits running without the interpreter lock.
#include "interrupt_poll.hpp"

InterruptibleSection::InterruptibleSection()
    : control_(&InterruptibleSection::poll, this) {
  saved_state_ = PyEval_SaveThread();
}

InterruptibleSection::~InterruptibleSection() {
  reacquire_lock();
  Py_CLEAR(raised_);
}

void InterruptibleSection::reacquire_lock() {
  if (saved_state_ == nullptr) return;
  PyEval_RestoreThread(saved_state_);
  saved_state_ = nullptr;
}

void InterruptibleSection::restore() {
  if (raised_ == nullptr) return;
  PyErr_SetRaisedException(raised_);  // steals the reference
  raised_ = nullptr;
}

bool InterruptibleSection::poll(void* data) {
  auto* section = static_cast<InterruptibleSection*>(data);
  if (section->raised_ != nullptr) return true;
  PyEval_RestoreThread(section->saved_state_);
  if (PyErr_CheckSignals() < 0) section->raised_ = PyErr_GetRaisedException();
  section->saved_state_ = PyEval_SaveThread();
  return section->raised_ != nullptr;
}
