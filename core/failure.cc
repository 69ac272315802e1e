// Any platform; the words of a failure's step, and refusals by the program's own rules.
#include "platform.h"

std::u16string_view StepName(Step step) {
  switch (step) {
    case Step::OpenInput:
      return u"open input";
    case Step::ReadInput:
      return u"read input";
    case Step::CheckInputEnd:
      return u"check input end";
    case Step::LookAtTarget:
      return u"look at target";
    case Step::CreateContent:
      return u"create content";
    case Step::KeepPermissions:
      return u"keep permissions";
    case Step::ReserveSpace:
      return u"reserve space";
    case Step::WriteContent:
      return u"write content";
    case Step::FlushContent:
      return u"flush content";
    case Step::PutInPlace:
      return u"put in place";
    case Step::FlushName:
      return u"flush name";
  }
  return u"unknown step";
}

Failure RuleFailure(Step step, const WidePath& path, std::u16string_view why) {
  return Failure{step, path, 0, std::u16string(why)};
}
