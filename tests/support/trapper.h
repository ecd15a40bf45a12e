// A test trapper that speaks the Zabbix sender protocol.
#pragma once
