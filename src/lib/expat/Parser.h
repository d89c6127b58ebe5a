// expat, wrapped once: the owner of a parser.
#pragma once

#include <expat.h>

namespace Ostra {
namespace expat {

// One expat parser for a document in the encoding it declares, freed with
// the object. Used by one thread at a time, as expat requires; the callbacks
// set on it run on that thread, inside XML_Parse*.
class Parser {
  public:
    // Holds no parser when expat could not allocate one.
    Parser() : parser_(XML_ParserCreate(nullptr)) {}
    ~Parser() {
        if (parser_ != nullptr) XML_ParserFree(parser_);
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    XML_Parser get() const { return parser_; }
    explicit operator bool() const { return parser_ != nullptr; }

  private:
    XML_Parser parser_;
};

}  // namespace expat
}  // namespace Ostra
