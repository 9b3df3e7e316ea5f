# Calls the four operations of a running kstd with Combat, a pure-Tcl ORB
# that shares no code with omniORB. The interface is described by hand, so
# the wire format is checked against our own reading of the IDL.
#
# usage: tclsh combat_client.tcl IORFILE NUMBERS TEXT REMOTEADDR ONDISPLAY MAILTO
package require combat

set argv [eval corba::init $argv]

combat::ir add {{interface {IDL:SmsServer:1.0 SmsServer 1.0} {} {
    {struct {IDL:SmsServer/Stats:1.0 Stats 1.0} {
        {serverStartTime long} {serverCurrentTime long} {smsQueLength long}
        {smsSent long} {smsReceived long} {confirmationSent long}
        {numberOfSenders long} {deviceName1 string} {deviceStatus1 long}
        {deviceName2 string} {deviceStatus2 long}} {}}
    {operation {IDL:SmsServer/KeepAlive:1.0 KeepAlive 1.0} void {} {}}
    {operation {IDL:SmsServer/SendSms:1.0 SendSms 1.0} long {
        {in phoneNumber string} {in text string} {in remoteAddr string}
        {in onDisplay boolean} {in mailTo string}} {}}
    {operation {IDL:SmsServer/version:1.0 version 1.0} string {} {}}
    {operation {IDL:SmsServer/getStats:1.0 getStats 1.0} long {
        {out stats_out IDL:SmsServer/Stats:1.0}} {}}
}}}

lassign $argv iorFile numbers text remoteAddr onDisplay mailTo
set f [open $iorFile]
set ior [read $f]
close $f

set server [corba::string_to_object $ior]
$server KeepAlive
puts "version: [$server version]"
puts "SendSms: [$server SendSms $numbers $text $remoteAddr $onDisplay $mailTo]"
puts "getStats: [$server getStats stats]"
foreach {name value} $stats {
    puts "$name: $value"
}
corba::release $server
