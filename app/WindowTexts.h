#pragma once
// The window's words for what the library reports: the outcome of a send, a device's exception
// code, and what a frame on the line is. Portuguese, as the rest of the window: the library's
// English names (Quorvel::ExceptionName) are said here in the window's language.

#include <QString>

#include <span>

#include <Quorvel/ConnectionSettings.h>
#include <Quorvel/FrameDescription.h>
#include <Quorvel/Protocol.h>
#include <Quorvel/Scanner.h>
#include <Quorvel/Transaction.h>
#include <Quorvel/Types.h>

// The meaning of a Modbus exception code ("endereço de dados ilegal").
QString ExceptionMeaning(Quorvel::Byte Code);

// A function code's name ("escrever registradores"), or "função N" for one the window has no name for.
QString FunctionName(Quorvel::Byte Function);

// The status of display line Line (1 or 2) after its client event: written with the time since
// the button was pressed, no reply after its attempts, refused with the device's exception, or an
// invalid reply.
QString SendOutcomeText(int Line, const Quorvel::TTransactionInfo& Info, qint64 ElapsedMs);
QString SendingText(int Line);
QString NotConnectedText(int Line);
// The connection closed before the send had its outcome (the settings dialog reopened it).
QString InterruptedText(int Line);

// What the frame is, in a few words: "pedido ao 1: escrever registradores 443–453".
QString FrameDescriptionText(const Quorvel::TFrameDescription& Description, Quorvel::TTransmissionMode Mode);

// The frame's bytes as the monitor lists them: hexadecimal pairs for RTU; for ASCII the characters
// themselves (they are hexadecimal digits already), with CR, LF and anything unprintable as <0D>.
QString WireText(Quorvel::TTransmissionMode Mode, std::span<const Quorvel::Byte> Wire);

// The read-back of the display ("Ler display do dispositivo"): under way, the line that the
// device holds (its text as read, blanks on the right left out), and every other outcome.
QString ReadingDisplayText();
QString ReadBackLineText(int Line, const QString& Text);
QString ReadBackNoLineText(Quorvel::Word Selector);
QString ReadBackOutcomeText(const Quorvel::TTransactionInfo& Info);
QString ReadBackNotConnectedText();

// The scan dialog's words: a line setting ("19200 bit/s, 8N1, RTU"), how a device answered the
// probe, how far the scan is and how it ended.
QString ScanLineText(const Quorvel::TScanLineSettings& Line, Quorvel::TDataBits DataBits, Quorvel::TStopBits StopBits);
QString ScanAnswerText(const Quorvel::TScanDevice& Device);
QString ScanProgressText(const Quorvel::TScanProgress& Progress, Quorvel::TDataBits DataBits, Quorvel::TStopBits StopBits);
QString ScanOutcomeText(Quorvel::TScanOutcome Outcome, const Quorvel::TScanProgress& Progress, const QString& Failure);
QString ScanFailedText(const QString& Message);
QString ScanCancellingText();
QString ScanNothingToTryText();
