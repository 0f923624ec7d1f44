#ifndef KTCODEC_H
#define KTCODEC_H

#include "device/ktdeviceinterface.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

// How one parameter's commands are encoded and its replies read, by command
// type: pure functions over the parameter's fields and values, no object and
// no I/O, so they can be tested and fuzzed on their own.
namespace KTCodec {

struct Command
{
    KTDeviceInterface::KTDeviceCMDType type = KTDeviceInterface::UnCMD;
    int getCmd = 0;
    int setCmd = 0;
    int cmdLen = 0;
    QStringList param;   // fixed leading arguments of a CCMD command
};

// A multi-word CMD value spans at most this many 16-bit command words.
constexpr int MaxCmdWords = 6;

// The frame that reads the parameter; empty when it is never read, and when
// a fixed argument holds a separator or a control byte.
QByteArray readFrame(const Command &c);

// The frame that writes value. A CCMD list property (value: two or more
// child keys) writes childValues, the values of the children found, in key
// order. Empty when the parameter is never written, and when a value cannot
// be written as it is (a separator or control byte inside a text, a number
// past what its command words carry, cut data holding STX or ETX): no frame
// rather than one the machine would misread.
QByteArray writeFrame(const Command &c, const QVariant &value, const QVariantList &childValues = {});

// A reply's text as a value of current's type (a string, or a decimal int,
// uint or double; 0 when the text is no such number); current itself for
// any other type.
QVariant decodeText(const QVariant &current, const QString &text);

// A two-word CMD reply, low word first: each word a decimal 0..65535 (0
// when it is not), read together as an int.
QVariant decodeWords(const QString &low, const QString &high);

// For a CCMD parameter with fixed leading arguments: the index of the reply
// value that belongs to it, -1 when the values do not start with param or
// hold nothing after it.
int paramValueIndex(const QStringList &param, const QStringList &values);

} // namespace KTCodec

#endif // KTCODEC_H
