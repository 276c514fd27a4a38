#include "WindowTexts.h"

using namespace Quorvel;

QString ExceptionMeaning(Byte Code) {
  switch (Code) {
    case Exceptions::IllegalFunction: return QStringLiteral("função ilegal");
    case Exceptions::IllegalDataAddress: return QStringLiteral("endereço de dados ilegal");
    case Exceptions::IllegalDataValue: return QStringLiteral("valor de dados ilegal");
    case Exceptions::ServerDeviceFailure: return QStringLiteral("falha no dispositivo");
    case Exceptions::Acknowledge: return QStringLiteral("reconhecido, em processamento");
    case Exceptions::ServerDeviceBusy: return QStringLiteral("dispositivo ocupado");
    case Exceptions::NegativeAcknowledge: return QStringLiteral("reconhecimento negativo");
    case Exceptions::MemoryParityError: return QStringLiteral("erro de paridade da memória");
    case Exceptions::GatewayPathUnavailable: return QStringLiteral("caminho do gateway indisponível");
    case Exceptions::GatewayTargetFailedToRespond: return QStringLiteral("o dispositivo atrás do gateway não respondeu");
    default: return QStringLiteral("código desconhecido");
  }
}

QString FunctionName(Byte Function) {
  switch (Function) {
    case Functions::ReadCoils: return QStringLiteral("ler bobinas");
    case Functions::ReadDiscreteInputs: return QStringLiteral("ler entradas discretas");
    case Functions::ReadHoldingRegisters: return QStringLiteral("ler registradores");
    case Functions::ReadInputRegisters: return QStringLiteral("ler registradores de entrada");
    case Functions::WriteSingleCoil: return QStringLiteral("escrever bobina");
    case Functions::WriteSingleRegister: return QStringLiteral("escrever registrador");
    case Functions::ReadExceptionStatus: return QStringLiteral("ler estado de exceção");
    case Functions::Diagnostics: return QStringLiteral("diagnóstico");
    case Functions::WriteMultipleCoils: return QStringLiteral("escrever bobinas");
    case Functions::WriteMultipleRegisters: return QStringLiteral("escrever registradores");
    case Functions::ReportServerId: return QStringLiteral("identificar servidor");
    case Functions::ReadFileRecord: return QStringLiteral("ler registro de arquivo");
    case Functions::WriteFileRecord: return QStringLiteral("escrever registro de arquivo");
    case Functions::MaskWriteRegister: return QStringLiteral("escrever registrador com máscara");
    case Functions::GetCommEventCounter: return QStringLiteral("ler contador de eventos");
    case Functions::GetCommEventLog: return QStringLiteral("ler histórico de eventos");
    case Functions::ReadWriteMultipleRegisters: return QStringLiteral("ler e escrever registradores");
    case Functions::ReadFifoQueue: return QStringLiteral("ler fila FIFO");
    case Functions::EncapsulatedInterface: return QStringLiteral("ler identificação do dispositivo");
    default: return QStringLiteral("função %1").arg(Function);
  }
}

namespace {

QString LinePrefix(int Line) { return QStringLiteral("Linha %1: ").arg(Line); }

QString Attempts(Cardinal Count) {
  return Count == 1 ? QStringLiteral("1 tentativa") : QStringLiteral("%1 tentativas").arg(Count);
}

QString ExceptionText(Byte Code) { return QStringLiteral("exceção %1 (%2)").arg(Code).arg(ExceptionMeaning(Code)); }

QString RangeText(const TFrameDescription& D) {
  if (!D.HasRange) return {};
  const int Last = int{D.Start} + int{D.Count} - 1;
  return D.Count == 1 ? QStringLiteral(" %1").arg(D.Start) : QStringLiteral(" %1–%2").arg(D.Start).arg(Last);
}

QString WhatText(const TFrameDescription& D) { return FunctionName(D.Function) + RangeText(D); }

}  // namespace

QString SendOutcomeText(int Line, const TTransactionInfo& Info, qint64 ElapsedMs) {
  switch (Info.ReplyStatus) {
    case rsSuccess: {
      QString Text = LinePrefix(Line) + QStringLiteral("gravada em %1 ms").arg(ElapsedMs);
      if (Info.Attempts > 1) Text += QStringLiteral(" (%1)").arg(Attempts(Info.Attempts));
      return Text;
    }
    case rsNoReply:
      return LinePrefix(Line) + QStringLiteral("sem resposta após ") + Attempts(Info.Attempts);
    case rsExceptionReply:
      return LinePrefix(Line) + QStringLiteral("recusada pelo dispositivo, ") + ExceptionText(Info.ExceptionCode);
    case rsInvalidReply:
    default:
      return LinePrefix(Line) + QStringLiteral("resposta inválida do dispositivo");
  }
}

QString SendingText(int Line) { return LinePrefix(Line) + QStringLiteral("enviando…"); }
QString NotConnectedText(int Line) { return LinePrefix(Line) + QStringLiteral("não enviada, sem conexão"); }
QString InterruptedText(int Line) { return LinePrefix(Line) + QStringLiteral("sem resultado, conexão fechada"); }

QString FrameDescriptionText(const TFrameDescription& D, TTransmissionMode Mode) {
  switch (D.Kind) {
    case fkNoReply: return QStringLiteral("sem resposta (tempo esgotado)");
    case fkMalformed: return QStringLiteral("quadro malformado");
    case fkBadCheck: return Mode == tmASCII ? QStringLiteral("erro de LRC") : QStringLiteral("erro de CRC");
    case fkRequest:
      return (D.Address == 0 ? QStringLiteral("difusão: ") : QStringLiteral("pedido ao %1: ").arg(D.Address)) +
             WhatText(D);
    case fkEcho: return QStringLiteral("eco do pedido: ") + WhatText(D);
    case fkReply: return QStringLiteral("resposta do %1: ").arg(D.Address) + WhatText(D);
    case fkExceptionReply:
      return QStringLiteral("resposta do %1: %2 a %3").arg(D.Address).arg(ExceptionText(D.ExceptionCode), WhatText(D));
    case fkOtherAddress:
      return QStringLiteral("quadro de outro endereço (%1): ").arg(D.Address) + FunctionName(D.Function);
    case fkOtherFunction:
    default: return QStringLiteral("resposta do %1 a outra função: ").arg(D.Address) + FunctionName(D.Function);
  }
}

QString WireText(TTransmissionMode Mode, std::span<const Byte> Wire) {
  QString Text;
  Text.reserve(static_cast<qsizetype>(3 * Wire.size()));
  static constexpr char Digits[] = "0123456789ABCDEF";
  const auto Hex = [&Text](Byte B) {
    Text += QLatin1Char(Digits[B >> 4]);
    Text += QLatin1Char(Digits[B & 0x0F]);
  };
  for (std::size_t I = 0; I < Wire.size(); ++I) {
    const Byte B = Wire[I];
    if (Mode == tmASCII && B >= 0x20 && B < 0x7F) {
      Text += QLatin1Char(static_cast<char>(B));
    } else if (Mode == tmASCII) {
      Text += QLatin1Char('<');
      Hex(B);
      Text += QLatin1Char('>');
    } else {
      if (I > 0) Text += QLatin1Char(' ');
      Hex(B);
    }
  }
  return Text;
}

namespace {

QString Devices(Cardinal Count) {
  return Count == 0   ? QStringLiteral("nenhum dispositivo encontrado")
         : Count == 1 ? QStringLiteral("1 dispositivo encontrado")
                      : QStringLiteral("%1 dispositivos encontrados").arg(Count);
}

}  // namespace

QString ReadingDisplayText() { return QStringLiteral("Lendo o display do dispositivo…"); }

QString ReadBackLineText(int Line, const QString& Text) {
  return QStringLiteral("Linha %1 no dispositivo: “%2”").arg(Line).arg(Text);
}

QString ReadBackNoLineText(Word Selector) {
  return QStringLiteral("Display lido: nenhuma linha selecionada (seletor %1)").arg(Selector);
}

QString ReadBackOutcomeText(const TTransactionInfo& Info) {
  switch (Info.ReplyStatus) {
    case rsExceptionReply:
      return QStringLiteral("Leitura do display recusada pelo dispositivo, ") + ExceptionText(Info.ExceptionCode);
    case rsNoReply: return QStringLiteral("Leitura do display: sem resposta após ") + Attempts(Info.Attempts);
    case rsSuccess:
    case rsInvalidReply:
    default: return QStringLiteral("Leitura do display: resposta inválida do dispositivo");
  }
}

QString ReadBackNotConnectedText() { return QStringLiteral("Leitura do display não feita, sem conexão"); }

QString ScanLineText(const TScanLineSettings& Line, TDataBits DataBits, TStopBits StopBits) {
  static const char ParityLetters[] = {'N', 'O', 'E'};
  return QStringLiteral("%1 bit/s, %2%3%4, %5")
      .arg(Line.BaudRate)
      .arg(DataBits == db7 ? 7 : 8)
      .arg(QLatin1Char(ParityLetters[Line.Parity]))
      .arg(StopBits == sb1 ? 1 : 2)
      .arg(Line.Mode == tmASCII ? QStringLiteral("ASCII") : QStringLiteral("RTU"));
}

QString ScanAnswerText(const TScanDevice& Device) {
  return Device.Refused ? ExceptionText(Device.ExceptionCode) : QStringLiteral("normal");
}

QString ScanProgressText(const TScanProgress& Progress, TDataBits DataBits, TStopBits StopBits) {
  return QStringLiteral("%1 de %2 combinações, %3; endereço %4 a %5")
      .arg(Progress.Done)
      .arg(Progress.Total)
      .arg(Devices(Progress.Found))
      .arg(Progress.Address)
      .arg(ScanLineText(Progress.Line, DataBits, StopBits));
}

QString ScanOutcomeText(TScanOutcome Outcome, const TScanProgress& Progress, const QString& Failure) {
  switch (Outcome) {
    case soCompleted: return QStringLiteral("Concluído: %1 combinações, %2").arg(Progress.Total).arg(Devices(Progress.Found));
    case soCancelled:
      return QStringLiteral("Cancelado após %1 de %2 combinações: %3").arg(Progress.Done).arg(Progress.Total).arg(Devices(Progress.Found));
    case soFailed:
    default: return ScanFailedText(Failure) + QStringLiteral(" (%1)").arg(Devices(Progress.Found));
  }
}

QString ScanFailedText(const QString& Message) { return QStringLiteral("A procura falhou: ") + Message; }
QString ScanCancellingText() { return QStringLiteral("Cancelando…"); }
QString ScanNothingToTryText() {
  return QStringLiteral("Marque ao menos uma velocidade e uma paridade, e um endereço inicial não maior que o final.");
}
