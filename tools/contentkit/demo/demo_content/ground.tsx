<?xml version="1.0" encoding="UTF-8"?>
<tileset version="1.8" tiledversion="1.8.2" name="ground" tilewidth="16" tileheight="16" tilecount="4" columns="4">
 <image source="ground.png" width="64" height="16"/>
 <tile id="0">
  <properties>
   <property name="texture" type="int" value="300"/>
   <property name="wallTexture" type="int" value="303"/>
  </properties>
 </tile>
 <tile id="1">
  <properties>
   <property name="texture" type="int" value="301"/>
   <property name="wallTexture" type="int" value="303"/>
  </properties>
 </tile>
 <tile id="2">
  <properties>
   <property name="texture" type="int" value="302"/>
  </properties>
 </tile>
 <tile id="3">
  <properties>
   <property name="texture" type="int" value="303"/>
  </properties>
 </tile>
</tileset>
