/* The EEPROM loader quenwick-hwc runs in an EZ-USB chip's RAM to write and
 * read the chip's boot EEPROM.
 *
 * Vendor request 0xA2, device recipient: OUT writes its data stage to the
 * EEPROM from address wValue on, IN reads wLength bytes from there; at most
 * 4096 bytes, through endpoint 0 in 64-byte packets. A request the EEPROM
 * does not answer is stalled.
 *
 * The EEPROM is the one the chip boots from: I2C address 0x51 with two address
 * bytes. There is no fallback to a one-byte EEPROM at 0x50: such a part takes
 * 8 address bits where wValue carries 16, so offsets past 255 would land on the
 * image's start, and whatever else answers at 0x50 must not be written to.
 * Without the boot EEPROM the request fails instead.
 *
 * No interrupts: the main loop polls for SETUP packets. The chip keeps its USB
 * identity; the USB core goes on answering the standard requests, and 0xA0.
 */
#include "fx2.h"

typedef unsigned char u8;
typedef unsigned int u16;

#define REQ_FIRMWARE_LOAD 0xA0 /* the USB core's own */
#define REQ_EEPROM 0xA2
#define TYPE_MASK 0x60
#define TYPE_VENDOR 0x40
#define RECIPIENT_MASK 0x1F
#define DIR_IN 0x80
#define MAX_LENGTH 4096
#define PACKET 64

/* The I2C address 0x51 with the direction in bit 0. I2CS is written whole, not
 * or-ed: START, STOP and LASTRD are requests, and a LASTRD left over from one
 * read must not cut the next one short. */
#define EEPROM_WRITE 0xA2u
#define EEPROM_READ 0xA3u
/* Page writes wrap inside their page, so no write crosses one. 32 divides the
 * pages of the two-byte-address parts EZ-USB boards carry (32 to 128 bytes). */
#define EEPROM_PAGE 32

/* Bounds on every wait, so a dead bus fails the request instead of hanging
 * the chip. A byte at 100 kHz takes 90 us, a write cycle at most 10 ms, and
 * an address attempt about 100 us. */
#define WAIT_LOOPS 0xFFFF
#define SELECT_TRIES 400

static __bit i2cDone(void) {
    u16 n = WAIT_LOOPS;
    do {
        u8 s = I2CS;
        if (s & bmBERR) return 0;
        if (s & bmDONE) return 1;
    } while (--n);
    return 0;
}

static __bit i2cStopped(void) {
    u16 n = WAIT_LOOPS;
    do {
        if (!(I2CS & bmSTOP)) return 1;
    } while (--n);
    return 0;
}

static __bit i2cStop(void) {
    I2CS = bmSTOP;
    return i2cStopped();
}

/* True when the receiver acknowledged the byte. */
static __bit i2cSend(u8 b) {
    I2DAT = b;
    return i2cDone() && (I2CS & bmACK);
}

/* Starts a transfer to the EEPROM. While a write cycle runs the EEPROM does
 * not acknowledge its address, so this also waits for the last write. */
static __bit eepromSelect(void) {
    u16 tries = SELECT_TRIES;
    do {
        I2CS = bmSTART;
        if (i2cSend(EEPROM_WRITE)) return 1;
        if (!i2cStop()) return 0;
    } while (--tries);
    return 0;
}

/* Selects the EEPROM for writing and sends the address; the bus is left free
 * on failure. */
static __bit eepromAddress(u16 at) {
    if (!eepromSelect()) return 0;
    if (i2cSend(at >> 8) && i2cSend(at & 0xFF)) return 1;
    i2cStop();
    return 0;
}

/* n bytes inside one page; returns once the EEPROM has stored them. */
static __bit eepromWrite(u16 at, __xdata volatile u8* src, u8 n) {
    if (!eepromAddress(at)) return 0;
    while (n--) {
        if (!i2cSend(*src++)) {
            i2cStop();
            return 0;
        }
    }
    /* The write cycle starts with the stop. */
    return i2cStop() && eepromSelect() && i2cStop();
}

/* n bytes, 1 to 64. The byte before the last is read with LASTRD set, so the
 * last one is not acknowledged; the last is read with STOP set, so no further
 * read starts. */
static __bit eepromRead(u16 at, __xdata volatile u8* dst, u8 n) {
    if (!eepromAddress(at)) return 0;
    I2CS = bmSTART;
    if (!i2cSend(EEPROM_READ)) goto fail; /* a repeated start */
    if (n == 1) I2CS = bmLASTRD;
    *dst = I2DAT; /* only starts the first byte */
    for (;;) {
        if (!i2cDone()) goto fail;
        if (--n == 0) break;
        if (n == 1) I2CS = bmLASTRD;
        *dst++ = I2DAT;
    }
    I2CS = bmSTOP;
    *dst = I2DAT;
    return i2cStopped();
fail:
    i2cStop();
    return 0;
}

/* Until endpoint 0's buffer is ours; false when a new SETUP ended the transfer. */
static __bit ep0Ready(void) {
    while (EP0CS & bmEPBUSY)
        if (USBIRQ & bmSUDAV) return 0;
    return 1;
}

static __bit writeEeprom(u16 at, u16 length) {
    while (length) {
        __xdata volatile u8* p = EP0BUF;
        u8 n, piece;
        EP0BCL = 0; /* arms the buffer for the next OUT packet */
        SYNCDELAY;
        if (!ep0Ready()) return 0;
        n = EP0BCL;
        if (n > length) n = length;
        length -= n;
        if (n < PACKET) length = 0; /* a short packet ends the data stage */
        while (n) {
            piece = EEPROM_PAGE - (at & (EEPROM_PAGE - 1));
            if (piece > n) piece = n;
            if (!eepromWrite(at, p, piece)) return 0;
            at += piece;
            p += piece;
            n -= piece;
        }
    }
    return 1;
}

static __bit readEeprom(u16 at, u16 length) {
    while (length) {
        u8 n = length > PACKET ? PACKET : length;
        if (!ep0Ready()) return 0;
        if (!eepromRead(at, EP0BUF, n)) return 0;
        EP0BCH = 0;
        SYNCDELAY;
        EP0BCL = n;
        SYNCDELAY;
        at += n;
        length -= n;
    }
    return 1;
}

static void finish(__bit ok) {
    /* A new SETUP already ended this transfer: it must not be stalled. */
    if (!ok && (USBIRQ & bmSUDAV)) return;
    EP0CS = ok ? bmHSNAK : bmHSNAK | bmEPSTALL;
}

static void serveSetup(void) {
    u8 type = SETUPDAT[0], request = SETUPDAT[1];
    u16 at = SETUPDAT[2] | (SETUPDAT[3] << 8);
    u16 length = SETUPDAT[6] | (SETUPDAT[7] << 8);
    if ((type & TYPE_MASK) != TYPE_VENDOR) {
        /* The USB core's, unless the chip was renumerated: this loader has no
         * descriptors to give. */
        if (USBCS & bmRENUM) finish(0);
        return;
    }
    if (request == REQ_FIRMWARE_LOAD) return;
    if (request != REQ_EEPROM || (type & RECIPIENT_MASK) != 0 || length > MAX_LENGTH) {
        finish(0);
        return;
    }
    finish((type & DIR_IN) ? readEeprom(at, length) : writeEeprom(at, length));
}

void main(void) {
    for (;;) {
        if (USBIRQ & bmSUDAV) {
            USBIRQ = bmSUDAV;
            serveSetup();
        }
    }
}
