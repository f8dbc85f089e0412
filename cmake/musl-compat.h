/* libstdc++'s configuration tests the glibc version with this macro; musl
   is not glibc, so every such test is false. */
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(major, minor) 0
#endif
