// Command lines whose scan the unit tests check and whose outcome the
// end-to-end tests check with the built program, on both platforms: the
// operation found ('b', 'r', or 0 for the usage text) and the image name.
#pragma once

struct LineRow {
  const char* label;
  const char* line;
  char op;           // the end-to-end tests add 'x': the name is refused
  const char* name;  // the image the line names, or would name if it were cut
};

inline const LineRow kUsageLines[] = {
    {"NoArguments", "kembu", 0, nullptr},
    {"OneSpace", "kembu ", 0, nullptr},
    {"OnlySpaces", "kembu    ", 0, nullptr},
    {"OnlyName", "kembu fw.img", 0, nullptr},
    {"LetterLast", "kembu b", 0, nullptr},
    {"LetterLastAfterName", "kembu fw.img r", 0, nullptr},
    {"LetterThenTab", "kembu b\tfw.img", 0, nullptr},
    {"LetterGluedToName", "kembu bfw.img", 0, nullptr},
};

inline const LineRow kOperationLines[] = {
    {"LowerB", "kembu b fw.img", 'b', "fw.img"},
    {"UpperB", "kembu B fw.img", 'b', "fw.img"},
    {"LowerR", "kembu r fw.img", 'r', "fw.img"},
    {"UpperR", "kembu R fw.img", 'r', "fw.img"},
    {"Dash", "kembu -b fw.img", 'b', "fw.img"},
    {"Slash", "kembu /r fw.img", 'r', "fw.img"},
    {"LetterBefore", "kembu xb fw.img", 'b', "fw.img"},
    {"RWithoutSpaceIsPassedOver", "kembu rb fw.img", 'b', "fw.img"},
    {"WordBeforeLetter", "kembu fw.img b fw.img", 'b', "fw.img"},
    {"HighC2", "kembu \xC2 fw.img", 'b', "fw.img"},
    {"HighE2", "kembu \xE2 fw.img", 'b', "fw.img"},
    {"HighD2", "kembu \xD2 fw.img", 'r', "fw.img"},
    {"HighF2", "kembu \xF2 fw.img", 'r', "fw.img"},
};

inline const LineRow kNameLines[] = {
    {"SpacesBefore", "kembu b    fw.img", 'b', "fw.img"},
    {"SpacesInside", "kembu b my  fw.img", 'b', "my  fw.img"},
    {"SecondLetterBelongsToName", "kembu b r fw.img", 'b', "r fw.img"},
    {"SecondLetterBelongsToNameR", "kembu r b fw.img", 'r', "b fw.img"},
    {"SubFolder", "kembu r sub/fw.img", 'r', "sub/fw.img"},
};
