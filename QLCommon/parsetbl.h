// Reading a serial modem's AT replies by table into the fields of its records, which
// the object gives by SMem ID (GetItemPtr). The query table names, per read group, the
// query, its pages, its parse table and how long a success stays fresh.
#pragma once

#include <cstdint>

class CManageableObject;

// A value-name table ends with the row whose value is PARSETBL_NO_MATCH, which is also
// the value of a text that matches no name.
constexpr uint32_t PARSETBL_NO_MATCH = 0x0FFFFFFF;
struct parsetbl_tValueName {
    const char* Name;
    uint32_t Value;
};

constexpr uint16_t PARSETBL_END_SKIP = 65535;
constexpr uint32_t PARSETBL_NOT_STORED = 0xFFFFFFFF;
struct parsetbl_tRow {
    char Label[64];
    uint16_t Skip;                       // PARSETBL_END_SKIP ends a table
    const parsetbl_tValueName* Values;   // none: a decimal number
    uint32_t SMemId;                     // PARSETBL_NOT_STORED: parsed, not stored
};

struct parsetbl_tQuery {
    uint32_t Group;  // 0 ends the table
    const char* Text;
    int Pages;
    const parsetbl_tRow* Table;
    unsigned MinIntervalSeconds;  // 0: asked every time
};

constexpr uint32_t PARSETBL_ATI11 = 0x001;
constexpr uint32_t PARSETBL_ATANDV = 0x002;
constexpr uint32_t PARSETBL_ATI0 = 0x800;

const parsetbl_tQuery* parsetbl_FindQuery(uint32_t group);  // none for an unknown group
int parsetbl_QueryIndex(const parsetbl_tQuery* query);      // its row in the query table

// 1 the ati11 table, 2 the at&v table; none past the end row or for another table.
const parsetbl_tRow* parsetbl_GetRow(int table, int index);
uint32_t parsetbl_LookupValue(const parsetbl_tValueName* table, const char* text);
const parsetbl_tValueName* parsetbl_LookupName(const parsetbl_tValueName* table, uint32_t value);

int parsetbl_ParseCommand(CManageableObject* object, const char* reply, uint32_t group);
void parsetbl_ParseATI11andATandV(CManageableObject* object, const parsetbl_tRow* table, const char* text);
void parsetbl_ParseString(CManageableObject* object, uint32_t smemId, const char* text);

// Where the reply's first whole result line starts ("OK", "0", "ERROR" or "4" alone on
// a line, at or after from); none when there is none. *accepted tells OK from ERROR.
const char* parsetbl_FindResultLine(const char* from, bool* accepted);
