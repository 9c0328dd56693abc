/*
 * rounding_mode.c - fegetround and fesetround inside each plug-in.
 *
 * The C++ runtime linked into a plug-in brings the long double overloads of
 * from_chars and to_chars along with the double ones the options decoder
 * uses, and they save and restore the rounding mode.  Those two functions
 * are the plug-in's only reason to need libm.so.6, which a host that is no
 * C++ program (a Rust one) does not have loaded: the dynamic loader would
 * map it for us at every load.  Defined here, hidden, they keep the plug-in
 * to the C library alone.  They do what the C library's x86-64 versions do:
 * the mode is read from the x87 control word and set in both the x87
 * control word and the SSE control register.  Elsewhere libm provides them.
 */
#if defined(__x86_64__)

#include <fenv.h>

#define ROUNDING_BITS (FE_TONEAREST | FE_DOWNWARD | FE_UPWARD | FE_TOWARDZERO)

__attribute__((visibility("hidden"))) int fegetround(void)
{
	unsigned short cw;

	__asm__ volatile("fnstcw %0" : "=m"(cw));
	return cw & ROUNDING_BITS;
}

__attribute__((visibility("hidden"))) int fesetround(int mode)
{
	unsigned short cw;
	unsigned int mxcsr;

	if ((mode & ~ROUNDING_BITS) != 0)
		return 1;
	__asm__ volatile("fnstcw %0" : "=m"(cw));
	cw = (unsigned short)((cw & ~ROUNDING_BITS) | mode);
	__asm__ volatile("fldcw %0" : : "m"(cw));
	__asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
	mxcsr = (mxcsr & ~(ROUNDING_BITS << 3)) | ((unsigned int)mode << 3);
	__asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
	return 0;
}

#endif
