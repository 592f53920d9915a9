-- ffiref through LuaJIT's FFI: a thin runner over tests/clients/cases.json,
-- using the binding in ffiref.lua beside it.
--
-- usage: luajit client.lua [path/to/libffiref.so]   (else $FFIREF_LIBRARY, else build/ci)
local here = arg[0]:match("^(.*)/[^/]*$") or "."
package.path = here .. "/?.lua;" .. package.path

local ffi = require("ffi")
local cjson = require("cjson")
local ffiref = require("ffiref")

ffi.cdef [[
typedef struct FILE FILE;
int fflush(FILE *stream);
FILE *tmpfile(void);
int fclose(FILE *stream);
int fileno(FILE *stream);
int dup(int fd);
int dup2(int from, int to);
int close(int fd);
long lseek(int fd, long offset, int whence);
long read(int fd, void *buffer, unsigned long size);
]]
local C = ffi.C

local root = here .. "/../../.."
local libraryPath = arg[1] or os.getenv("FFIREF_LIBRARY") or (root .. "/build/ci/libffiref.so")
local layoutPath = os.getenv("FFIREF_LAYOUT")
    or ((libraryPath:match("^(.*)/[^/]*$") or ".") .. "/layout/ffiref-layout-x86_64-linux-gnu.json")

local function readFile(path)
    local file = io.open(path, "rb")
    if not file then return nil end
    local text = file:read("*a")
    file:close()
    return text
end

local cases = cjson.decode(assert(readFile(here .. "/../cases.json")))
local null = cjson.null

-- ---------------------------------------------------------------- tally

local passed, failed, skipped = 0, 0, 0

local function show(value)
    if type(value) ~= "table" then
        return type(value) == "string" and string.format("%q", value) or tostring(value)
    end
    local parts = {}
    for i = 1, #value do parts[#parts + 1] = show(value[i]) end
    local keys = {}
    for key in pairs(value) do
        if type(key) ~= "number" then keys[#keys + 1] = key end
    end
    table.sort(keys)
    for _, key in ipairs(keys) do parts[#parts + 1] = key .. "=" .. show(value[key]) end
    return "{" .. table.concat(parts, ", ") .. "}"
end

local function check(name, ok, detail)
    if ok then
        passed = passed + 1
    else
        failed = failed + 1
        io.write("FAIL luajit: ", name, detail and (": " .. detail) or "", "\n")
    end
    return ok
end

local function equal(name, actual, expected)
    local a, e = show(actual), show(expected)
    return check(name, a == e, "got " .. a .. ", expected " .. e)
end

local function skip(name, reason)
    skipped = skipped + 1
    io.write("SKIP luajit: ", name, ": ", reason, "\n")
end

-- ---------------------------------------------------------------- helpers

local function hexBytes(text)
    return (text:gsub("%s", ""):gsub("%x%x", function(pair) return string.char(tonumber(pair, 16)) end))
end

local function narrow(case, key)
    if case[key .. "_hex"] then return hexBytes(case[key .. "_hex"]) end
    return case[key]
end

local littleEndian = ffi.abi("le")
local function byteImage(case)
    return hexBytes(littleEndian and case.little or case.big)
end

local specials = { nan = 0 / 0, inf = math.huge, ["-inf"] = -math.huge, ["-0"] = -0.0 }
local function double(value)
    if type(value) == "string" then return specials[value] end
    return value
end

local function sameDouble(actual, expected)
    if expected ~= expected then return actual ~= actual end
    return actual == expected and 1 / actual == 1 / expected
end

local function list(values, map)
    local result = {}
    for i, value in ipairs(values) do result[i] = map and map(value) or value end
    return result
end

local function image(cdata, size)
    return ffi.string(ffi.cast("const char *", cdata), size or ffi.sizeof(cdata))
end

local function address(pointer)
    return tonumber(ffi.cast("uintptr_t", pointer))
end

-- Code points of a UTF-8 string (cases.json text is UTF-8).
local function codePoints(text)
    local points, i = {}, 1
    while i <= #text do
        local byte = text:byte(i)
        local length = byte < 0x80 and 1 or byte < 0xE0 and 2 or byte < 0xF0 and 3 or 4
        local code = length == 1 and byte or bit.band(byte, bit.rshift(0x7F, length))
        for j = i + 1, i + length - 1 do
            code = code * 64 + bit.band(text:byte(j), 0x3F)
        end
        points[#points + 1] = code
        i = i + length
    end
    return points
end

local function wideString(pointer)
    local points, i = {}, 0
    while pointer[i] ~= 0 do
        points[#points + 1] = tonumber(pointer[i])
        i = i + 1
    end
    return points
end

-- Runs call() with file descriptor 1 on a temporary file; returns its result
-- and the bytes written. The library writes through C's stdout, so that is
-- flushed on both sides.
local function captureStdout(call)
    C.fflush(nil)
    local sink = C.tmpfile()
    local saved = C.dup(1)
    C.dup2(C.fileno(sink), 1)
    local ok, result = pcall(call)
    C.fflush(nil)
    C.dup2(saved, 1)
    C.close(saved)
    local fd = C.fileno(sink)
    local size = C.lseek(fd, 0, 2)
    C.lseek(fd, 0, 0)
    local buffer = ffi.new("char[?]", size + 1)
    local got = C.read(fd, buffer, size)
    C.fclose(sink)
    if not ok then error(result, 0) end
    return result, ffi.string(buffer, got)
end

-- Field name -> {offset, size} of a declared record, from LuaJIT's own type
-- information (a field's "size" there is its offset; its type is info & 0xffff).
local function declaredFields(name)
    local fields = {}
    local member = ffi.typeinfo(tonumber(ffi.typeof(name))).sib
    while member do
        local info = ffi.typeinfo(member)
        fields[info.name] = { info.size, ffi.typeinfo(bit.band(info.info, 0xffff)).size }
        member = info.sib
    end
    return fields
end

local function bitRecord(values)
    local record = ffi.new("BitStructure")
    for name, value in pairs(values) do record[name] = value end
    return record
end

-- The bytes a bit-field record holds for values, from the layout JSON's
-- segments: each field's bits go most significant first, high bit to low bit.
local function segmentsImage(fields, values, size)
    local bytes = {}
    for i = 1, size do bytes[i] = 0 end
    for name, value in pairs(values) do
        local field = fields[name]
        local remaining = field.width
        for _, segment in ipairs(field.segments) do
            for position = segment.high_bit, segment.low_bit, -1 do
                remaining = remaining - 1
                if bit.band(bit.rshift(value, remaining), 1) == 1 then
                    bytes[segment.byte + 1] = bit.bor(bytes[segment.byte + 1], bit.lshift(1, position))
                end
            end
        end
    end
    return string.char(unpack(bytes))
end

-- ---------------------------------------------------------------- runner

local lib = ffiref.load(libraryPath)

local groups = {}

groups[#groups + 1] = { "exports", function()
    for _, name in ipairs(cases.exports) do
        check("export " .. name, pcall(function() return lib[name] end))
    end
end }

groups[#groups + 1] = { "layout", function()
    local declared = cases.layout
    for _, name in ipairs({ "SampleStructure", "UnionStructure" }) do
        equal(name .. " size", ffi.sizeof(name), declared[name].size)
        local fields = declaredFields(name)
        local places = {}
        for _, field in ipairs(declared[name].fields) do
            places[#places + 1] = { field[1], fields[field[1]][1], fields[field[1]][2] }
        end
        equal(name .. " offsets", places, declared[name].fields)
    end
    equal("BitStructure size", ffi.sizeof("BitStructure"), declared.BitStructure.size)
    equal("BitStructure array stride", ffi.sizeof("BitStructure[2]"), 2 * declared.BitStructure.size)
    local pointer = ffi.sizeof("void *")
    equal("pointer records: sizes and second offsets",
        { ffi.sizeof("KeyValueStructure"), ffi.offsetof("KeyValueStructure", "value"),
            ffi.sizeof("LinkedStructure"), ffi.offsetof("LinkedStructure", "next") },
        { 2 * pointer, pointer, 2 * pointer, pointer })

    local text = readFile(layoutPath)
    if not text then
        check("layout JSON exists", false, layoutPath .. " is missing: build the library first")
        return
    end
    local layout = cjson.decode(text)
    equal("layout byte_order", littleEndian and "little" or "big", layout.byte_order)
    equal("layout pointer_size", ffi.sizeof("void *"), layout.pointer_size)
    equal("layout wchar_size", ffi.sizeof("wchar_t"), layout.wchar_size)
    for _, name in ipairs({ "SampleStructure", "UnionStructure", "KeyValueStructure", "LinkedStructure" }) do
        local expected = layout.records[name]
        equal("layout " .. name .. " size", ffi.sizeof(name), expected.size)
        equal("layout " .. name .. " alignment", ffi.alignof(name), expected.alignment)
        local fields = {}
        for field, place in pairs(expected.fields) do fields[field] = { place.offset, place.size } end
        equal("layout " .. name .. " fields", declaredFields(name), fields)
    end
    local bits = layout.records.BitStructure
    equal("layout BitStructure size", ffi.sizeof("BitStructure"), bits.size)
    for field, bitField in pairs(bits.fields) do
        local largest = 2 ^ bitField.width - 1
        for _, value in ipairs({ largest, bit.bor(bit.band(0x2D3, largest), 1) }) do
            local values = { [field] = value }
            equal(("layout BitStructure %s=%d image"):format(field, value),
                image(bitRecord(values)), segmentsImage(bits.fields, values, bits.size))
        end
    end
    for _, sample in ipairs(layout.samples or {}) do
        local name = "layout sample " .. sample.record .. " " .. show(sample.values)
        if sample.record == "BitStructure" then
            local record = bitRecord(sample.values)
            equal(name, image(record), hexBytes(sample.bytes))
            if sample.sum then equal(name .. " sum", lib.calculateSunFromBitStructure(record), sample.sum) end
        else
            local record = ffi.new(sample.record)
            local ok = pcall(function()
                for path, value in pairs(sample.values) do
                    -- "content.intValue" reaches into a member.
                    local target, leaf = record, path
                    for member, rest in path:gmatch("([^.]+)%.(.+)") do target, leaf = target[member], rest end
                    target[leaf] = double(value)
                end
            end)
            if ok then
                equal(name, image(record), hexBytes(sample.bytes))
            else
                skip(name, "the sample's values are not plain fields of the declared record")
            end
        end
    end
end }

groups[#groups + 1] = { "plain calls", function()
    for _, case in ipairs(cases.sumStdCall) do
        equal(("sumStdCall(%d, %d)"):format(case[1], case[2]), lib.sumStdCall(case[1], case[2]), case[3])
    end
    for _, case in ipairs(cases.printStringCdeclCall) do
        local text = narrow(case, "text")
        local result, written = captureStdout(function() return lib.printStringCdeclCall(text) end)
        check(("printStringCdeclCall(%q) result"):format(text), result >= 0, tostring(result))
        equal(("printStringCdeclCall(%q) output"):format(text), written, narrow(case, "stdout"))
    end
end }

groups[#groups + 1] = { "_data", function()
    local expected = cases._data
    equal("_data initial", ffi.string(lib._data, 13), expected.initial .. "\0")
    equal("_data alignment", address(lib._data) % expected.alignment, 0)
    ffi.copy(lib._data, expected.write) -- the text and its zero byte
    equal("_data after a write", ffi.string(lib._data), expected.write)
    ffi.copy(lib._data, expected.initial)
    equal("_data restored", ffi.string(lib._data, 13), expected.initial .. "\0")
end }

groups[#groups + 1] = { "packed records", function()
    local sample = cases.copySampleStructure
    local source = ffi.new("SampleStructure")
    for name, value in pairs(sample.fields) do source[name] = double(value) end
    equal("SampleStructure image", image(source), byteImage(sample))
    local destination = ffi.new("SampleStructure")
    lib.copySampleStructure(source, destination)
    equal("copySampleStructure fields", image(destination), image(source))
    check("copySampleStructure -0.0 keeps its sign", 1 / destination.firstDoubleword < 0)
    for _, raw in ipairs(sample.images) do
        -- Odd addresses on both sides, guard bytes around the destination.
        local memory = ffi.new("uint8_t[80]")
        ffi.fill(memory, 80, 0x5A)
        ffi.copy(memory + 1, hexBytes(raw), 36)
        lib.copySampleStructure(ffi.cast("SampleStructure *", memory + 1), ffi.cast("SampleStructure *", memory + 41))
        equal("copySampleStructure image " .. raw:sub(1, 11), image(memory + 40, 38), "Z" .. hexBytes(raw) .. "Z")
        local same = ffi.cast("SampleStructure *", memory + 41)
        lib.copySampleStructure(same, same)
        equal("copySampleStructure onto itself", image(memory + 41, 36), hexBytes(raw))
    end

    for _, case in ipairs(cases.copyUnionStructure) do
        local source = ffi.new("UnionStructure", { tag = case.tag })
        if case.member == "bytes" then
            for i, value in ipairs(case.value) do source.content.bytes[i - 1] = value end
        else
            source.content[case.member] = double(case.value)
        end
        equal("UnionStructure image via " .. case.member, image(source), byteImage(case))
        local destination = ffi.new("UnionStructure")
        lib.copyUnionStructure(source, destination)
        equal("copyUnionStructure via " .. case.member, image(destination), image(source))
        if case.member == "intValue" then
            equal("copyUnionStructure intValue", destination.content.intValue, case.value)
        end
    end

    local bits = cases.calculateSunFromBitStructure
    for _, case in ipairs(bits.records) do
        local values = {}
        for i, field in ipairs(bits.fields) do values[field] = case.values[i] end
        local record = bitRecord(values)
        local name = show(case.values)
        equal("BitStructure " .. name .. " image", image(record), byteImage(case))
        equal("calculateSunFromBitStructure " .. name, lib.calculateSunFromBitStructure(record), case.sum)
        equal("BitStructure " .. name .. " read back",
            list(bits.fields, function(field) return record[field] end), case.values)
    end
    for _, case in ipairs(bits.unused_bits) do
        local memory = ffi.new("uint8_t[4]")
        ffi.copy(memory, byteImage(case) .. "\255", 4)
        equal("calculateSunFromBitStructure raw " .. (littleEndian and case.little or case.big),
            lib.calculateSunFromBitStructure(ffi.cast("BitStructure *", memory)), case.sum)
    end
end }

groups[#groups + 1] = { "pointer records", function()
    local expected = cases.fillKeyValueStructure
    local key = ffi.new("int32_t[1]")
    local record = ffi.new("KeyValueStructure", { key = key })
    lib.fillKeyValueStructure(record)
    equal("fillKeyValueStructure key", key[0], expected.key)
    check("fillKeyValueStructure key pointer kept", record.key == key)
    equal("fillKeyValueStructure text", ffi.string(record.value), expected.text)
    local text = address(record.value)
    lib.fillKeyValueStructure(record)
    equal("fillKeyValueStructure same text address", address(record.value), text)

    local lookup = cases.findValueByKey
    local n = #lookup.keys
    local keys = ffi.new("int32_t[?]", n, lookup.keys)
    local texts, records = {}, ffi.new("KeyValueStructure[?]", n)
    for i = 0, n - 1 do
        texts[i] = ffi.new("char[?]", 10, "value " .. i)
        records[i].key = keys + i
        records[i].value = texts[i]
    end
    for _, case in ipairs(lookup.cases) do
        local found = lib.findValueByKey(records, case.count, case.key)
        local wanted = case.expect == null and 0 or address(texts[case.expect])
        equal(("findValueByKey count %d key %d"):format(case.count, case.key), address(found), wanted)
    end

    local head = ffi.new("LinkedStructure", { value = -1 })
    lib.fillLinkedStructures(head)
    local values, nodes, node = { head.value }, {}, head
    while node.next ~= nil do
        node = node.next
        nodes[#nodes + 1] = node
        values[#values + 1] = node.value
    end
    equal("fillLinkedStructures values", values, cases.fillLinkedStructures.values)
    for _, allocated in ipairs(nodes) do lib._ZdlPv(allocated) end
    equal("fillLinkedStructures nodes released with operator delete", #nodes, 9)
end }

groups[#groups + 1] = { "double arrays", function()
    for _, case in ipairs(cases.findMinimum) do
        local values = list(case.array, double)
        local array = ffi.new("double[?]", #values, values)
        local found = lib.findMinimum(array, case.count)
        check(("findMinimum %s count %d"):format(show(case.array), case.count),
            sameDouble(found, double(case.expect)), tostring(found))
    end
    for _, case in ipairs(cases.removeDuplicates) do
        local values = list(case.array, double)
        local array = ffi.new("double[?]", #values, values)
        local before = image(array, 8 * #values)
        local count = ffi.new("int32_t[1]", case.count)
        lib.removeDuplicates(array, count)
        local name = ("removeDuplicates %s count %d"):format(show(case.array), case.count)
        if case.expect == null then
            check(name, count[0] == case.count and image(array, 8 * #values) == before)
        else
            local expected = list(case.expect, double)
            equal(name .. " count", count[0], #expected)
            local same = true
            for i, value in ipairs(expected) do same = same and sameDouble(array[i - 1], value) end
            check(name .. " elements", same)
            equal(name .. " beyond the count", image(array, 8 * #values):sub(8 * case.count + 1),
                before:sub(8 * case.count + 1))
        end
    end
end }

groups[#groups + 1] = { "callbacks", function()
    -- ffi.cast makes a C function of a Lua function; free() releases its slot.
    for _, case in ipairs(cases.calculateSum) do
        local seen = {}
        local add = ffi.cast("CalculateSumCallback", function(operand)
            seen[#seen + 1] = operand
            return operand + case.add -- the int32_t result wraps on conversion
        end)
        equal(("calculateSum %d + %d"):format(case.operand, case.add), lib.calculateSum(add, case.operand), case.expect)
        equal(("calculateSum %d callback arguments"):format(case.operand), seen, { case.operand })
        add:free()
    end

    for _, case in ipairs(cases.createArray) do
        local seen = {}
        local array = ffi.new("int32_t[3]", case.args)
        local create = ffi.cast("CreateArrayCallback", function(first, second, third, slot)
            seen[#seen + 1] = { first, second, third, slot[0] == nil }
            if case.store then slot[0] = array end
        end)
        local result = lib.createArray(case.args[1], case.args[2], case.args[3], create)
        create:free()
        local name = "createArray " .. show(case.args)
        equal(name .. " callback saw", seen, { { case.args[1], case.args[2], case.args[3], true } })
        equal(name .. " result", address(result), case.store and address(array) or 0)
        equal(name .. " array untouched", { array[0], array[1], array[2] }, case.args)
    end

    for _, case in ipairs(cases.fillArray) do
        local seen = {}
        local fill = ffi.cast("FillArrayCallback", function(start, count, array)
            seen[#seen + 1] = { start, count }
            for i, value in ipairs(case.store) do array[i - 1] = value end
        end)
        local result, written = captureStdout(function() return lib.fillArray(case.start, case.count, fill) end)
        fill:free()
        local name = ("fillArray start %d store %s"):format(case.start, show(case.store))
        equal(name .. " result", result, case.expect)
        equal(name .. " callback saw", seen, { { case.start, case.count } })
        equal(name .. " stdout", written, case.stdout)
    end
end }

groups[#groups + 1] = { "strings", function()
    for _, case in ipairs(cases.removeDuplicatesFromString) do
        local text = narrow(case, "input")
        local source = ffi.new("char[?]", #text + 1, text)
        local output = ffi.new("char *[1]", ffi.cast("char *", 1)) -- ignored by the library
        lib.removeDuplicatesFromString(source, output)
        equal(("removeDuplicatesFromString %q"):format(text), ffi.string(output[0]), narrow(case, "expect"))
        equal(("removeDuplicatesFromString %q input unchanged"):format(text), image(source, #text + 1), text .. "\0")
        lib._ZdaPv(output[0]) -- new char[] in the library, delete[] here
    end

    local buffer
    for _, case in ipairs(cases.findLongest) do
        local found = lib.findLongest(ffiref.wideList(list(case.list, codePoints)))
        equal("findLongest " .. show(case.list):sub(1, 40), wideString(found), codePoints(case.expect))
        check("findLongest returns its one buffer", buffer == nil or buffer == address(found))
        buffer = address(found)
    end

    for _, case in ipairs(cases.convert) do
        local expected = table.concat(list(case.expect, function(text) return text .. "\0" end))
        local output = ffi.new("char[?]", #expected + 4)
        ffi.fill(output, #expected + 4, 0xAA)
        lib.convert(ffiref.wideList(list(case.list, codePoints)), output)
        equal("convert " .. show(case.list), image(output, #expected + 1), expected .. "\170")
    end
end }

for _, group in ipairs(groups) do
    local ok, problem = pcall(group[2])
    if not ok then check(group[1], false, tostring(problem)) end
end

io.write(("%d passed, %d failed"):format(passed, failed), skipped > 0 and (", %d skipped"):format(skipped) or "", "\n")
io.stdout:flush()
os.exit(failed == 0 and 0 or 1)
