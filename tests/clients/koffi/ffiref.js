// ffiref for Node.js through Koffi: the type declarations and a loader. Copy
// this file to bind the library; client.js beside it shows every export in use.
//
//   const ffiref = require('./ffiref');
//   const lib = ffiref.load('/path/to/libffiref.so');
//   console.log(lib.sumStdCall(2, 3));
'use strict';
const os = require('os');
const koffi = require('koffi');

const SampleStructure = koffi.pack('SampleStructure', {
    firstByte: 'int8_t',
    halfword: 'int16_t',
    firstWord: 'int32_t',
    secondWord: 'int32_t',
    secondByte: 'int8_t',
    thirdWord: 'int32_t',
    singleFloat: 'float',
    firstDoubleword: 'double',
    secondDoubleword: 'double',
});

const UnionContent = koffi.union('UnionContent', {
    intValue: 'int32_t',
    floatValue: 'float',
    bytes: koffi.array('uint8_t', 4),
});

const UnionStructure = koffi.pack('UnionStructure', {
    tag: 'uint8_t',
    content: UnionContent,
});

// Koffi has no bit-fields: a BitStructure travels as its 3 raw bytes, which
// encodeBitStructure fills with the platform's native allocation for a packed
// record. Little-endian: from bit 0 of byte 0 upwards; big-endian: from bit 7
// of byte 0 downwards. tenBits spans bytes 1 and 2 either way.
const BitStructure = koffi.opaque('BitStructure');
const BIT_FIELDS = [['oneBit', 1], ['twoBitsA', 2], ['threeBits', 3], ['twoBitsB', 2], ['tenBits', 10]];
const BIT_STRUCTURE_SIZE = 3;

function encodeBitStructure(values) {
    const bytes = Buffer.alloc(BIT_STRUCTURE_SIZE);
    const bigEndian = os.endianness() === 'BE';
    let position = 0; // bits used so far; the fields of byte 0 fill exactly 8
    for (const [name, width] of BIT_FIELDS) {
        const value = (values[name] ?? 0) & ((1 << width) - 1);
        if (name === 'tenBits') {
            bytes[1] = bigEndian ? value >> 2 : value & 0xff;
            bytes[2] = bigEndian ? (value & 3) << 6 : value >> 8;
        } else {
            bytes[0] |= bigEndian ? value << (8 - position - width) : value << position;
        }
        position += width;
    }
    return bytes;
}

function decodeBitStructure(bytes) {
    const bigEndian = os.endianness() === 'BE';
    const values = {};
    let position = 0;
    for (const [name, width] of BIT_FIELDS) {
        const mask = (1 << width) - 1;
        if (name === 'tenBits') {
            values[name] = bigEndian ? (bytes[1] << 2) | (bytes[2] >> 6) : bytes[1] | ((bytes[2] & 3) << 8);
        } else {
            values[name] = (bigEndian ? bytes[0] >> (8 - position - width) : bytes[0] >> position) & mask;
        }
        position += width;
    }
    return values;
}

const KeyValueStructure = koffi.struct('KeyValueStructure', {
    key: 'int32_t *',
    value: 'const char *',
});

const LinkedStructure = koffi.struct('LinkedStructure', {
    value: 'int32_t',
    next: 'LinkedStructure *',
});

const CalculateSumCallback = koffi.proto('int32_t CalculateSumCallback(int32_t operand)');
const CreateArrayCallback = koffi.proto(
    'void CreateArrayCallback(int32_t first, int32_t second, int32_t third, int32_t **arraySlot)');
const FillArrayCallback = koffi.proto('void FillArrayCallback(int32_t start, int32_t count, int32_t *array)');

const PROTOTYPES = [
    'int32_t sumStdCall(int32_t a, int32_t b)',
    'int32_t printStringCdeclCall(const char *text)',
    'void copySampleStructure(const SampleStructure *source, _Out_ SampleStructure *destination)',
    'void copyUnionStructure(const UnionStructure *source, _Out_ UnionStructure *destination)',
    'int32_t calculateSunFromBitStructure(const BitStructure *record)',
    'void fillKeyValueStructure(KeyValueStructure *record)',
    // The very pointer held in the matching record, as an address.
    'const void *findValueByKey(const KeyValueStructure *records, int32_t count, int32_t key)',
    'void fillLinkedStructures(LinkedStructure *head)',
    'double findMinimum(const double *array, int32_t count)',
    'void removeDuplicates(double *array, int32_t *count)',
    'int32_t calculateSum(CalculateSumCallback *callback, int32_t operand)',
    'int32_t *createArray(int32_t first, int32_t second, int32_t third, CreateArrayCallback *callback)',
    'int32_t fillArray(int32_t start, int32_t count, FillArrayCallback *callback)',
    // The string handed out is the caller's: keep its address to release it.
    'void removeDuplicatesFromString(const char *input, _Inout_ void **output)',
    // The library's static buffer, as an address (read it with koffi.decode).
    'const void *findLongest(const wchar_t *list)',
    'void convert(const wchar_t *list, char *output)',
    // Memory the library hands out comes from C++ operator new / new[]; the
    // C++ runtime that the library needs supplies the matching operators,
    // found through the library's own handle by their mangled names.
    'void _ZdlPv(void *pointer)', // operator delete(void *)
    'void _ZdaPv(void *pointer)', // operator delete[](void *)
];

// Loads the library by path: the functions by name, plus data, the address
// of the exported char _data[13] (read and write it with koffi.decode/encode).
function load(path) {
    const library = koffi.load(path);
    const lib = { handle: library, data: library.symbol('_data') };
    for (const prototype of PROTOTYPES) {
        const fn = library.func(prototype);
        lib[fn.info.name] = fn;
    }
    return lib;
}

// A wide string list: each string and its zero, then the closing empty
// string. A JS string keeps its embedded zeros on the way to C.
function wideList(strings) {
    return strings.map((text) => text + '\0').join('') + '\0';
}

// The wide string at pointer (4-byte wchar_t). koffi.decode.wstring() reads an
// empty wide string as null; this reads it as ''.
function readWide(pointer) {
    const codes = [];
    const step = koffi.sizeof('wchar_t');
    for (let offset = 0, code; (code = koffi.decode(pointer, offset, 'wchar_t')) !== 0; offset += step) {
        codes.push(code);
    }
    return String.fromCodePoint(...codes);
}

module.exports = {
    koffi, load, wideList, readWide, encodeBitStructure, decodeBitStructure, BIT_FIELDS, BIT_STRUCTURE_SIZE,
    SampleStructure, UnionContent, UnionStructure, BitStructure, KeyValueStructure, LinkedStructure,
    CalculateSumCallback, CreateArrayCallback, FillArrayCallback,
};
