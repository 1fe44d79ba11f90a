/* Adler-32 for the stub's inflate, in place of zlib's adler32.c: the same sums in a
   plain loop instead of sixteen-fold unrolled code, about a tenth of the size. inflate
   calls adler32() alone; nothing here provides adler32_z() or the combine functions. */
#include "zlib.h"

#define BASE 65521U /* the largest prime below 65536 */
#define NMAX 5552U  /* the most bytes before the 32-bit sums could overflow */

uLong ZEXPORT adler32(uLong adler, const Bytef *buf, uInt len) {
    unsigned long a = adler & 0xffff;
    unsigned long b = (adler >> 16) & 0xffff;
    if (buf == Z_NULL) return 1;
    while (len > 0) {
        uInt n = len < NMAX ? len : NMAX;
        len -= n;
        do {
            a += *buf++;
            b += a;
        } while (--n != 0);
        a %= BASE;
        b %= BASE;
    }
    return (b << 16) | a;
}
