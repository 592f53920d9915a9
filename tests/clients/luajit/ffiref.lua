-- ffiref for LuaJIT: the C declarations and a loader. Copy this file to bind
-- the library; tests/clients/luajit/client.lua shows every export in use.
--
--   local ffiref = require("ffiref")
--   local lib = ffiref.load("/path/to/libffiref.so")
--   print(lib.sumStdCall(2, 3))
local ffi = require("ffi")

ffi.cdef [[
typedef struct __attribute__((packed)) SampleStructure {
    int8_t firstByte;
    int16_t halfword;
    int32_t firstWord;
    int32_t secondWord;
    int8_t secondByte;
    int32_t thirdWord;
    float singleFloat;
    double firstDoubleword;
    double secondDoubleword;
} SampleStructure;

typedef union UnionContent {
    int32_t intValue;
    float floatValue;
    uint8_t bytes[4];
} UnionContent;

typedef struct __attribute__((packed)) UnionStructure {
    uint8_t tag;
    UnionContent content;
} UnionStructure;

/* The platform's own bit positions, as the C compiler lays them out. */
typedef struct __attribute__((packed)) BitStructure {
    unsigned int oneBit : 1;
    unsigned int twoBitsA : 2;
    unsigned int threeBits : 3;
    unsigned int twoBitsB : 2;
    unsigned int tenBits : 10;
} BitStructure;

typedef struct KeyValueStructure {
    int32_t *key;
    const char *value;
} KeyValueStructure;

typedef struct LinkedStructure {
    int32_t value;
    struct LinkedStructure *next;
} LinkedStructure;

typedef int32_t (*CalculateSumCallback)(int32_t operand);
typedef void (*CreateArrayCallback)(int32_t first, int32_t second, int32_t third, int32_t **arraySlot);
typedef void (*FillArrayCallback)(int32_t start, int32_t count, int32_t *array);

char _data[13];

int32_t sumStdCall(int32_t a, int32_t b);
int32_t printStringCdeclCall(const char *text);
void copySampleStructure(const SampleStructure *source, SampleStructure *destination);
void copyUnionStructure(const UnionStructure *source, UnionStructure *destination);
int32_t calculateSunFromBitStructure(const BitStructure *record);
void fillKeyValueStructure(KeyValueStructure *record);
const char *findValueByKey(const KeyValueStructure *records, int32_t count, int32_t key);
void fillLinkedStructures(LinkedStructure *head);
double findMinimum(const double *array, int32_t count);
void removeDuplicates(double *array, int32_t *count);
int32_t calculateSum(CalculateSumCallback callback, int32_t operand);
int32_t *createArray(int32_t first, int32_t second, int32_t third, CreateArrayCallback callback);
int32_t fillArray(int32_t start, int32_t count, FillArrayCallback callback);
void removeDuplicatesFromString(const char *input, char **output);
const wchar_t *findLongest(const wchar_t *list);
void convert(const wchar_t *list, char *output);

/* Memory the library hands out comes from C++ operator new / new[]; the C++
   runtime that the library needs supplies the matching operators, found
   through the library's own handle by their mangled names. */
void _ZdlPv(void *pointer); /* operator delete(void *) */
void _ZdaPv(void *pointer); /* operator delete[](void *) */
]]

local ffiref = {}

-- Loads the library by path; its exports and _data are fields of the result.
function ffiref.load(path)
    return ffi.load(path)
end

-- A wide string list from a Lua array of arrays of code points: each string
-- and its zero, then the closing empty string.
function ffiref.wideList(strings)
    local characters = {}
    for _, text in ipairs(strings) do
        for _, code in ipairs(text) do
            characters[#characters + 1] = code
        end
        characters[#characters + 1] = 0
    end
    characters[#characters + 1] = 0
    return ffi.new("wchar_t[?]", #characters, characters)
end

return ffiref
