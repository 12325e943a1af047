<?xml version="1.0" encoding="UTF-8"?>
<tileset version="1.8" tiledversion="1.8.2" name="terrain" tilewidth="64" tileheight="64" tilecount="2" columns="2" tilerendersize="grid">
 <image source="terrain.png" width="128" height="64"/>
</tileset>
