#include <pellamy/InstrumentModel.h>

namespace pellamy {

void InstrumentModel::loadFromFile(const std::string&) { throw std::string("Can't open instrument file"); }

void InstrumentModel::saveToFile(const std::string&, bool) const { throw "Can't open file for saving instrument"; }

} // namespace pellamy
