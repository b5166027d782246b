-- SPDX-License-Identifier: Apache-2.0
-- wrk script: GET /iii.asp?title=NUMBER for COUNT different numbers in turn, as people look up
-- different numbers all day: mobile numbers under the prefixes in use and fixed lines under
-- area codes from across the country, made by a fixed pseudo-random sequence, so that every
-- run sends the same requests. COUNT 1 sends 13800138000 every time.
--
--   wrk -t1 -c50 -d5s -s bench/numbers.lua URL -- [COUNT (10000)] [check]
--
-- "check" counts the answers that name a place and those that do not, and prints them at the
-- end (slower: wrk hands every body to Lua). LOOKUP_PATH in the environment asks another route,
-- the number after it: LOOKUP_PATH=/api/v1/lookup?number= for the JSON API.

local mobilePrefixes = {
  "130", "131", "132", "133", "134", "135", "136", "137", "138", "139",
  "145", "147", "150", "151", "152", "153", "155", "156", "157", "158", "159",
  "166", "173", "175", "176", "177", "178",
  "180", "181", "182", "183", "184", "185", "186", "187", "188", "189",
  "191", "198", "199",
}

-- Area codes and the digits of their local numbers.
local areaCodes = {}
for _, code in ipairs({
  "010", "020", "021", "022", "023", "024", "025", "027", "028", "029",
  "0311", "0371", "0411", "0431", "0451", "0512", "0513", "0531", "0532", "0551",
  "0571", "0574", "0577", "0591", "0731", "0755", "0757", "0760", "0769", "0791",
  "0851", "0871", "0898",
}) do
  table.insert(areaCodes, { code = code, digits = 8 })
end
for _, code in ipairs({ "0351", "0471", "0592", "0771", "0891", "0931", "0951", "0971", "0991" }) do
  table.insert(areaCodes, { code = code, digits = 7 })
end

-- Park and Miller's minimal standard generator: exact in a double, the same in every Lua.
local state = 20240607
local function nextValue(range)
  state = (state * 16807) % 2147483647
  return state % range
end

local function digits(n)
  local out = {}
  for i = 1, n do
    out[i] = tostring(nextValue(10))
  end
  return table.concat(out)
end

local function nextNumber()
  -- About seven lookups in ten are of mobile numbers.
  if nextValue(10) < 7 then
    return mobilePrefixes[nextValue(#mobilePrefixes) + 1] .. digits(8)
  end
  -- A local number never begins with 0 or 1.
  local area = areaCodes[nextValue(#areaCodes) + 1]
  return area.code .. "-" .. tostring(2 + nextValue(7)) .. digits(area.digits - 1)
end

local path = os.getenv("LOOKUP_PATH") or "/iii.asp?title="
local requests = {}
local position = 0
-- Globals, so that done() can read them from each thread's own Lua state.
named, unnamed = 0, 0
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

-- Only when checking: wrk hands bodies to Lua only to a script that has a response function.
local function countAnswer(status, headers, body)
  -- A found number's answer begins with 号码： in GBK.
  if status == 200 and body:sub(1, 6) == "\186\197\194\235\163\186" then
    named = named + 1
  else
    unnamed = unnamed + 1
  end
end

function init(args)
  local count = tonumber(args[1] or "10000")
  if args[2] == "check" then
    response = countAnswer
  end
  for i = 1, count do
    local number = count == 1 and "13800138000" or nextNumber()
    requests[i] = wrk.format("GET", path .. number)
  end
end

function request()
  position = position % #requests + 1
  return requests[position]
end

function done(summary, latency, requests)
  local placed, other = 0, 0
  for _, thread in ipairs(threads) do
    placed = placed + thread:get("named")
    other = other + thread:get("unnamed")
  end
  if placed + other > 0 then
    io.write(string.format("answers naming a place: %d, not: %d\n", placed, other))
  end
end
