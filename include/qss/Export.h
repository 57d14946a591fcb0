// QSS_EXPORT marks what the library exports from a shared build: the public
// API and nothing else; QSS_INTERNAL takes a member back out.
//
// The build defines QSS_BUILDING while compiling the library and QSS_STATIC
// for a static library (the CMake target and the pkg-config file pass it on
// to users of a static build).

#ifndef QSS_EXPORT_H_
#define QSS_EXPORT_H_

#if defined(QSS_STATIC)
#define QSS_EXPORT
#elif defined(_WIN32)
#if defined(QSS_BUILDING)
#define QSS_EXPORT __declspec(dllexport)
#else
#define QSS_EXPORT __declspec(dllimport)
#endif
#else
#define QSS_EXPORT __attribute__((visibility("default")))
#endif

// QSS_INTERNAL keeps a member of an exported class that only the library
// calls (its parameters name internal types) out of a shared build's
// exports where the platform allows it.
#if defined(QSS_STATIC) || defined(_WIN32)
#define QSS_INTERNAL
#else
#define QSS_INTERNAL __attribute__((visibility("hidden")))
#endif

#endif  // QSS_EXPORT_H_
