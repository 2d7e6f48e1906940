# cmake -DIN=report.txt -DOUT=report.raw -P to_splicer_stream.cmake
# A report captured as received text has CR LF line ends; the splicer itself
# sends CR alone. Writes the splicer's byte stream for the simulator to replay.
file(READ "${IN}" text)
string(REPLACE "\r\n" "\r" text "${text}")
file(WRITE "${OUT}" "${text}")
