/* A program for the simulator's 8051 core test (tests/sim/Mcs51Test.cpp): what
 * sdcc makes of recursion, 16- and 32-bit and signed arithmetic, floating point,
 * a jump table, calls through pointers, tables in code space, bit variables and
 * external data. It leaves its results at 0x3000 and writes 0xA5 to `done` last.
 */
#include <stdint.h>

typedef uint8_t (*Op)(uint8_t);

struct Results {
    uint16_t crc;
    uint16_t fib;
    uint32_t quotient;
    uint16_t remainder;
    int16_t signedQuotient;
    int16_t signedRemainder;
    int16_t product1000;
    uint32_t product32;
    uint8_t classes[10];
    uint8_t sorted[8];
    uint8_t ops[3];
    uint8_t bits;
    uint8_t done;
};

__xdata __at(0x3000) volatile struct Results results;

static __code const uint8_t kCheck[] = "123456789";
/* Initialised external data: sdcc's start-up copies it from code space. */
static __xdata volatile uint32_t dividend = 123456789UL;
static __xdata volatile int16_t minusSeven = -7;
static __xdata volatile float factor = 1.5f;
static __xdata uint8_t unsorted[8] = {42, 7, 255, 0, 19, 7, 128, 64};
static __bit odd;

static uint16_t crc16(const __code uint8_t* p, uint8_t n) {
    uint16_t crc = 0xFFFF;
    while (n--) {
        crc ^= (uint16_t)*p++ << 8;
        for (uint8_t i = 0; i < 8; ++i) crc = crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1;
    }
    return crc;
}

static uint16_t fib(uint8_t n) __reentrant { return n < 2 ? n : fib(n - 1) + fib(n - 2); }

static uint8_t classify(uint8_t v) {
    switch (v) {
        case 0: return 10;
        case 1: return 21;
        case 2: return 32;
        case 3: return 43;
        case 4: return 54;
        case 5: return 65;
        case 6: return 76;
        case 7: return 87;
        case 8: return 98;
        default: return 0;
    }
}

static uint8_t twice(uint8_t v) { return v << 1; }
static uint8_t square(uint8_t v) { return v * v; }
static uint8_t invert(uint8_t v) { return ~v; }
static __code const Op kOps[] = {twice, square, invert};

void main(void) {
    uint8_t i, j, t;
    results.crc = crc16(kCheck, 9);
    results.fib = fib(15);
    results.quotient = dividend / 1000;
    results.remainder = dividend % 1000;
    results.signedQuotient = minusSeven / 2;
    results.signedRemainder = minusSeven % 2;
    results.product1000 = (int16_t)(factor * 2.25f * 1000.0f);
    results.product32 = 0xDEADBEEFUL * (dividend & 7); /* times 5 */
    for (i = 0; i < 10; ++i) results.classes[i] = classify(i);
    for (i = 0; i < 7; ++i)
        for (j = 0; j < 7 - i; ++j)
            if (unsorted[j] > unsorted[j + 1]) {
                t = unsorted[j];
                unsorted[j] = unsorted[j + 1];
                unsorted[j + 1] = t;
            }
    for (i = 0; i < 8; ++i) results.sorted[i] = unsorted[i];
    for (i = 0; i < 3; ++i) results.ops[i] = kOps[i](12);
    t = 0;
    for (i = 0; i < 8; ++i) {
        odd = i & 1;
        if (odd) t |= 1 << i;
    }
    results.bits = t;
    results.done = 0xA5;
    for (;;) {
    }
}
