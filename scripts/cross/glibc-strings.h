/* Included first in every file of a zig build. zig's compiler runtime carries
   generic memcpy, memmove, memset and bcmp; linked into the module, they would
   answer the module's calls in place of the C library's, which glibc picks for
   the CPU at run time and which are several times faster. Naming glibc's own
   versioned symbols binds every call to the C library. */
#if defined(__x86_64__)
__asm__(".symver memcpy, memcpy@GLIBC_2.14");
__asm__(".symver memmove, memmove@GLIBC_2.2.5");
__asm__(".symver memset, memset@GLIBC_2.2.5");
__asm__(".symver memcmp, memcmp@GLIBC_2.2.5");
__asm__(".symver bcmp, bcmp@GLIBC_2.2.5");
#elif defined(__aarch64__)
__asm__(".symver memcpy, memcpy@GLIBC_2.17");
__asm__(".symver memmove, memmove@GLIBC_2.17");
__asm__(".symver memset, memset@GLIBC_2.17");
__asm__(".symver memcmp, memcmp@GLIBC_2.17");
__asm__(".symver bcmp, bcmp@GLIBC_2.17");
#endif
