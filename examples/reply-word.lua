-- Answers every received text line that contains a word (anywhere in the line), which the
-- pattern table cannot do: it matches whole records only.
--
--   korvane-cli PORT --script reply-word.lua [--script-arg word=PING] [--script-arg reply=PONG]

local word = args.word or "PING"
local reply = (args.reply or "PONG") .. "\r\n"
local line = ""

function on_receive(bytes)
  line = line .. bytes
  -- Each complete line (ended by CR or LF); the rest waits for its end.
  for text, ending in line:gmatch("([^\r\n]*)([\r\n]+)") do
    if text:find(word, 1, true) then
      send_text(reply)
    end
  end
  line = line:match("[^\r\n]*$")
end
