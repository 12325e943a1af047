#include "patcher/front/worker_gate.h"

namespace quillon {

namespace {

// The gate the current thread holds as a worker, so a wait deep inside a
// command send can let go of it without being handed the gate.
thread_local WorkerGate* t_heldGate = nullptr;

}  // namespace

void WorkerGate::enter() {
    m_lock.lock();
    t_heldGate = this;
}

void WorkerGate::leave() {
    if (t_heldGate != this) return;
    t_heldGate = nullptr;
    m_lock.unlock();
}

bool WorkerGate::tryTake() { return m_lock.try_lock(); }

void WorkerGate::release() { m_lock.unlock(); }

bool WorkerGate::heldByThisThread() const { return t_heldGate == this; }

WorkerGate::WaitScope::WaitScope() : m_gate(t_heldGate) {
    if (m_gate) m_gate->m_lock.unlock();
}

WorkerGate::WaitScope::~WaitScope() {
    // A launcher that is ending keeps the gate: this blocks until the
    // process is gone.
    if (m_gate) m_gate->m_lock.lock();
}

}  // namespace quillon
