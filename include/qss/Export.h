// QSS_EXPORT marks what the library exports from a shared build: the public
// API and nothing else.
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

#endif  // QSS_EXPORT_H_
