#pragma once
#ifdef __cplusplus
#define KDX_EXTERN_C extern "C"
#else
#define KDX_EXTERN_C
#endif
#if defined(KDX_BUILDING_LIBRARY) && defined(_WIN32)
#define KDX_API KDX_EXTERN_C __declspec(dllexport)
#elif defined(KDX_BUILDING_LIBRARY)
#define KDX_API KDX_EXTERN_C __attribute__((visibility("default")))
#else
#define KDX_API KDX_EXTERN_C
#endif
