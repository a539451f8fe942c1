/* The EZ-USB FX2 registers the loader uses, with their bits, as the chip's
 * technical reference describes them. All of them live in external data space.
 */
#ifndef QW_FX2_H
#define QW_FX2_H

#define FX2_REG(name, address) __xdata __at(address) volatile unsigned char name

FX2_REG(USBIRQ, 0xE65D);  /* USB interrupt requests, write 1 to clear */
#define bmSUDAV 0x01      /* a SETUP packet is in SETUPDAT */

FX2_REG(I2CS, 0xE678);    /* I2C master control and status */
#define bmSTART 0x80
#define bmSTOP 0x40
#define bmLASTRD 0x20
#define bmBERR 0x04
#define bmACK 0x02
#define bmDONE 0x01
FX2_REG(I2DAT, 0xE679);   /* writing sends a byte, reading receives the next */

FX2_REG(USBCS, 0xE680);
#define bmRENUM 0x02      /* set: every request but SET_ADDRESS goes to the firmware */

FX2_REG(EP0BCH, 0xE68A);  /* endpoint 0 byte count; writing EP0BCL arms the buffer */
FX2_REG(EP0BCL, 0xE68B);
FX2_REG(EP0CS, 0xE6A0);
#define bmHSNAK 0x80      /* status stage held off; write 1 to let it complete */
#define bmEPBUSY 0x02     /* the buffer belongs to the USB side */
#define bmEPSTALL 0x01

__xdata __at(0xE6B8) volatile unsigned char SETUPDAT[8];
__xdata __at(0xE740) volatile unsigned char EP0BUF[64];

/* Byte-count writes need a few cycles before the core sees them. */
#define SYNCDELAY __asm__("nop\n\tnop\n\tnop")

#endif
