-- A test sequence for a Modbus RTU device: reads two holding registers a few times and
-- checks every reply (slave, function, byte count, CRC). Ends with pass() or fail(), so
-- korvane-cli exits with 0 or 4: a hardware-in-the-loop test for CI.
--
--   korvane-cli PORT --script modbus-test.lua [--script-arg slave=1] [--script-arg count=3]

local slave = tonumber(args.slave or "1")
local count = tonumber(args.count or "3")
local timeout = tonumber(args.timeout or "1000")
-- The slave's byte as a pattern item (a punctuation byte is escaped).
local id = (string.char(slave):gsub("%p", "%%%0"))

local function request(fn, address, quantity)
  local body = string.char(slave, fn, address // 256, address % 256, quantity // 256, quantity % 256)
  send(body .. crc("Modbus-CRC16", body))
end

run(function()
  for i = 1, count do
    request(3, 0, 2)
    -- The reply's head: slave, function, byte count.
    local head = expect(id .. "[\3\131].", timeout)
    if not head then
      fail("request " .. i .. ": no reply within " .. timeout .. " ms")
    end
    if head:byte(2) == 131 then
      local code = expect(".", timeout) or "?"
      fail("request " .. i .. ": exception " .. hex(code))
    end
    local n = head:byte(3)
    if n ~= 4 then
      fail("request " .. i .. ": " .. n .. " data bytes instead of 4")
    end
    local rest = expect(string.rep(".", n + 2), timeout)
    if not rest then
      fail("request " .. i .. ": reply cut short")
    end
    local data, check = rest:sub(1, n), rest:sub(n + 1)
    if crc("Modbus-CRC16", head .. data) ~= check then
      fail("request " .. i .. ": bad CRC " .. hex(check))
    end
    log("request " .. i .. ": registers " .. hex(data))
    wait(100)
  end
  pass()
end)
