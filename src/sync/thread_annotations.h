// Annotations for clang's static lock checking (-Wthread-safety): a lock
// type is a CAPABILITY, a field names the lock that guards it, a function
// names the locks it needs held (REQUIRES) or not held (EXCLUDES), and RAII
// guards are SCOPED_CAPABILITY types. `make check-threads` builds the engine
// with the check turned into errors. Under other compilers every macro is
// empty, so the annotations cost nothing and change nothing.
//
// Lock order (the one list; a thread takes a lock only while every lock it
// holds comes earlier in this list; pairs never nested are noted where they
// are taken):
//   DatabaseState::open_mu -> DatabaseState::map_mu
//   -> CollectionState::writer_mu -> index_mu -> commit_mu -> claims_mu
//   -> pending_mu -> vectors.mu -> free_list.mu -> mirror.mu
//   -> index->graph.mu -> index->deleted.mu -> graph_changes_mu
//   -> index_file_mu
//   -> leaves: FreeList's own mutex, the store's internal mutexes, the
//      process-wide list of open states (detach_states_of_dir).
// Where both locks are members of one class the order is also written as
// ACQUIRED_AFTER, which -Wthread-safety-beta checks.
//
// Escapes, each kept to one small place with a comment saying why:
// ASSERT_CAPABILITY / ASSERT_SHARED_CAPABILITY (a lambda run while its
// caller holds the lock), NO_THREAD_SAFETY_ANALYSIS (a pattern the analysis
// cannot follow, such as a lock held by a movable object).
#pragma once

#if defined(__clang__)
#define TS_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TS_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TS_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TS_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TS_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TS_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TS_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TS_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) TS_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TS_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) TS_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) TS_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) TS_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) TS_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TS_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) TS_THREAD_ANNOTATION(try_acquire_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) TS_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TS_THREAD_ANNOTATION(assert_capability(x))
#define ASSERT_SHARED_CAPABILITY(x) TS_THREAD_ANNOTATION(assert_shared_capability(x))
#define RETURN_CAPABILITY(x) TS_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TS_THREAD_ANNOTATION(no_thread_safety_analysis)
