-- A Modbus RTU slave for bring-up without the device: answers reads of holding and input
-- registers (functions 03 and 04) and writes of one register (06). Register 0 counts the
-- read requests it has answered; the others hold what was written to them (0 at start).
-- Other functions get exception 01 (illegal function).
--
--   korvane-cli PORT --script modbus-slave.lua [--script-arg slave=1]

local slave = tonumber(args.slave or "1")
local registers = {}

local function u16(hi, lo)
  return hi * 256 + lo
end

local function answer(body)
  send(body .. crc("Modbus-CRC16", body))
end

local function read_registers(first, count)
  if count < 1 or count > 125 then
    return nil
  end
  registers[0] = ((registers[0] or 0) + 1) % 65536
  local data = {}
  for r = first, first + count - 1 do
    local v = registers[r] or 0
    data[#data + 1] = string.char(v // 256, v % 256)
  end
  return string.char(count * 2) .. table.concat(data)
end

-- Bytes of a request may come in more than one record: they wait here until a frame is whole.
local pending = ""

function on_receive(bytes)
  pending = pending .. bytes
  while #pending >= 8 do
    local frame = pending:sub(1, 8)
    if crc("Modbus-CRC16", frame:sub(1, 6)) ~= frame:sub(7, 8) then
      pending = pending:sub(2) -- not a frame start: look one byte further
    else
      pending = pending:sub(9)
      local id, fn = frame:byte(1, 2)
      local a = u16(frame:byte(3, 4))
      local b = u16(frame:byte(5, 6))
      if id == slave then
        if fn == 3 or fn == 4 then
          local data = read_registers(a, b)
          if data then
            answer(string.char(id, fn) .. data)
          else
            answer(string.char(id, fn + 128, 3)) -- illegal data value
          end
        elseif fn == 6 then
          registers[a] = b
          answer(frame:sub(1, 6))
        else
          answer(string.char(id, fn + 128, 1))
        end
      end
    end
  end
end

log("Modbus slave " .. slave .. " ready")
