#include "tools/zqm_json.h"

#include <sstream>

nlohmann::ordered_json ToJson(const ZQ_TAny& value) {
  if (value.IsEmpty()) return nullptr;
  if (const ZQ_TString* text = value.As<ZQ_TString>()) return text->Text();
  if (const ZQ_TUInt32* number = value.As<ZQ_TUInt32>()) return number->Value();
  if (const ZQ_TUInt16* number = value.As<ZQ_TUInt16>()) return number->Value();
  if (const ZQ_TBool* flag = value.As<ZQ_TBool>()) return flag->Value();
  if (const ZQ_TList* list = value.As<ZQ_TList>()) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const ZQ_TAny& element : *list)
      array.push_back(ToJson(element));
    return array;
  }
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  if (const ZQ_TDict* dict = value.As<ZQ_TDict>()) {
    for (const auto& [key, element] : dict->Entries())
      object[key.Text()] = ToJson(element);
    return object;
  }
  if (const ZQ_TTree* tree = value.As<ZQ_TTree>()) {
    for (const auto& [key, element] : tree->Entries())
      object[key.Text()] = ToJson(element);
    return object;
  }
  std::ostringstream printed;
  printed << value;
  return printed.str();
}
