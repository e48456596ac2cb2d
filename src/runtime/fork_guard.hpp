// Locks held across fork().
//
// A child made by fork() has only the thread that forked.  A lock another
// thread held at that moment would stay locked in the child forever, and the
// data behind it could be half-changed.  hold_across_fork<Tag>(m) makes every
// later fork take m first and release it again in parent and child, so the
// child gets the lock free and the data whole.
//
// Prepare steps run in the reverse order of registration: a lock that is
// taken while another is held must be registered after that other one.
#pragma once

#include <mutex>

#if __has_include(<pthread.h>)
#include <pthread.h>
#endif

namespace qorva::dsp {

// Tag tells registrations apart (one per guarded mutex); call once per Tag.
template <typename Tag>
void hold_across_fork(std::mutex& m) {
#if __has_include(<pthread.h>)
    static std::mutex* held = &m;
    pthread_atfork([] { held->lock(); }, [] { held->unlock(); }, [] { held->unlock(); });
#else
    (void)m;
#endif
}

}  // namespace qorva::dsp
