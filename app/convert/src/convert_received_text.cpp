#include "seamlog/convert/convert_received_text.h"

namespace seamlog::convert {

ConvertResult ConvertReceivedText(std::string_view receivedText, RowWriter& out,
                                  ProgressSink& progress) {
  switch (RecogniseModel(receivedText)) {
    case Model::A: return ConvertModelA(receivedText, out, progress);
    case Model::B: return ConvertModelB(receivedText, out, progress);
    case Model::C: break;
  }
  return ConvertModelC(receivedText, out, progress);
}

}  // namespace seamlog::convert
